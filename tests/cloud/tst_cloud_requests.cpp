// get() and post() of TUKCloudHttpUtils against our raw server (exact request bytes) and httpbin.

#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "HttpBinServer.h"
#include "RawHttpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>
#include <QUrlQuery>
#include <QtTest>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using tuktest::RawResponse;
using Cookies = QMap<QString, QString>;
using Headers = QList<QPair<QByteArray, QByteArray>>;

namespace {

const QByteArray kUserAgent = "Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like "
                              "Gecko) Chrome/21.0.1180.89 Safari/537.1";

// A map that must be emptied by every public operation.
Cookies stale()
{
    return Cookies{{QStringLiteral("stale"), QStringLiteral("1")}};
}

// Makes the local 8-bit code page Latin-1 for the lifetime of the object, so that text decoded
// with it differs visibly from UTF-8 whatever the machine's locale is.
struct Latin1Locale
{
    QTextCodec* previous = QTextCodec::codecForLocale();
    Latin1Locale() { QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1")); }
    ~Latin1Locale() { QTextCodec::setCodecForLocale(previous); }
};

QJsonObject json(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class TestCloudRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void userAgentAndCookieHeader();
    void sameMapForInAndOutSendsNoCookie();
    void postBodies_data();
    void postBodies();
    void redirect302CarriesOnlyItsOwnCookies();
    void otherRedirectsAreNotFollowed_data();
    void otherRedirectsAreNotFollowed();
    void failuresGiveEmptyTextAndNoCookies_data();
    void failuresGiveEmptyTextAndNoCookies();
    void redirectChainIsCapped();
    void charsetDecidesDecoding_data();
    void charsetDecidesDecoding();
    void badUrlsSendNothing();

    void httpbinCookiesAndRedirects();
    void httpbinRedirectStatuses();

private:
    RawHttpServer m_raw;
    tuktest::HttpBinServer m_httpbin;
};

void TestCloudRequests::initTestCase()
{
    QVERIFY(m_raw.start());
    QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
}

void TestCloudRequests::init()
{
    // Each test installs its own handler; the default answers 200 "ok".
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "ok"); });
}

void TestCloudRequests::userAgentAndCookieHeader()
{
    const int before = m_raw.requestCount();
    const Cookies in{{QStringLiteral("sid"), QStringLiteral("abc")},
                     {QStringLiteral("lang"), QString()},
                     {QString(), QStringLiteral("orphan")},
                     {QStringLiteral("b"), QStringLiteral("2")},
                     {QStringLiteral("Zeta"), QStringLiteral("z")},
                     {QStringLiteral("nom"), QStringLiteral("d\u00e9j\u00e0")}};
    Cookies out = stale();
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/page")), in, out),
             QStringLiteral("ok"));
    QVERIFY(out.isEmpty());

    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 1);
    const RawRequest& r = requests.first();
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.target, QByteArray("/page"));
    QCOMPARE(r.headerCount("User-Agent"), 1);
    QCOMPARE(r.header("User-Agent"), kUserAgent);
    // One header, ordinal key order (upper case sorts first), empty names and values dropped,
    // names and values as UTF-8.
    QCOMPARE(r.headerCount("Cookie"), 1);
    QCOMPARE(r.header("Cookie"), QByteArray("Zeta=z; b=2; nom=d\xc3\xa9j\xc3\xa0; sid=abc"));
    QCOMPARE(r.headerCount("Content-Type"), 0);
    QCOMPARE(r.bodySize, qint64(0));
}

void TestCloudRequests::sameMapForInAndOutSendsNoCookie()
{
    const int before = m_raw.requestCount();
    m_raw.setHandler([](const RawRequest&) {
        return RawHttpServer::reply(200, "set", {{"Set-Cookie", "fresh=1; Path=/"}});
    });
    Cookies both{{QStringLiteral("sid"), QStringLiteral("abc")}};
    QCOMPARE(TUKCloudHttpUtils::post(m_raw.url(QStringLiteral("/same")), QByteArray("x=1"),
                                     QString(), both, both),
             QStringLiteral("set"));
    QCOMPARE(both, (Cookies{{QStringLiteral("fresh"), QStringLiteral("1")}}));
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/same")), both, both),
             QStringLiteral("set"));

    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 2);
    for (const RawRequest& r : requests)
        QCOMPARE(r.headerCount("Cookie"), 0);
}

void TestCloudRequests::postBodies_data()
{
    QTest::addColumn<bool>("asList");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("contentType");
    QTest::addColumn<QByteArray>("expectedType");
    QTest::addColumn<QByteArray>("expectedBody");

    const QByteArray form = "application/x-www-form-urlencoded";
    QTest::newRow("bytes, default type") << false << QByteArray("k=v&x=%20") << QStringList()
                                         << QString() << form << QByteArray("k=v&x=%20");
    QTest::newRow("bytes, own type")
        << false << QByteArray("{\"a\":1}") << QStringList() << QStringLiteral("application/json")
        << QByteArray("application/json") << QByteArray("{\"a\":1}");
    QTest::newRow("list a b") << true << QByteArray()
                              << QStringList{QStringLiteral("a=1"), QStringLiteral("b=2")}
                              << QString() << form << QByteArray("a=1&b=2");
    QTest::newRow("list leading empty")
        << true << QByteArray() << QStringList{QString(), QString(), QStringLiteral("a=1")}
        << QString() << form << QByteArray("a=1");
    QTest::newRow("list inner empty")
        << true << QByteArray()
        << QStringList{QStringLiteral("a=1"), QString(), QStringLiteral("b=2")} << QString() << form
        << QByteArray("a=1&&b=2");
    QTest::newRow("list empty") << true << QByteArray() << QStringList() << QString() << form
                                << QByteArray();
    QTest::newRow("list verbatim utf8")
        << true << QByteArray()
        << QStringList{QStringLiteral("q=a b&c"), QStringLiteral("name=\u00fc"),
                       QStringLiteral("bare")}
        << QStringLiteral("text/plain; charset=utf-8") << QByteArray("text/plain; charset=utf-8")
        << QByteArray("q=a b&c&name=\xc3\xbc&bare");
}

void TestCloudRequests::postBodies()
{
    QFETCH(bool, asList);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, params);
    QFETCH(QString, contentType);
    QFETCH(QByteArray, expectedType);
    QFETCH(QByteArray, expectedBody);

    const int before = m_raw.requestCount();
    Cookies in, out = stale();
    const QString url = m_raw.url(QStringLiteral("/form"));
    const QString result = asList ? TUKCloudHttpUtils::post(url, params, contentType, in, out)
                                  : TUKCloudHttpUtils::post(url, bytes, contentType, in, out);
    QCOMPARE(result, QStringLiteral("ok"));
    QVERIFY(out.isEmpty());

    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 1);
    const RawRequest& r = requests.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.headerCount("Content-Type"), 1);
    QCOMPARE(r.header("Content-Type"), expectedType);
    QCOMPARE(r.header("User-Agent"), kUserAgent);
    QCOMPARE(r.body, expectedBody);
    QCOMPARE(r.headerCount("Cookie"), 0);
}

void TestCloudRequests::redirect302CarriesOnlyItsOwnCookies()
{
    const QByteArray finalUrl = m_raw.url(QStringLiteral("/final?x=1")).toUtf8();
    m_raw.setHandler([finalUrl](const RawRequest& r) {
        if (r.target == "/start")
            return RawHttpServer::reply(302, "moving",
                                        {{"Location", finalUrl},
                                         {"Set-Cookie", "sid=xyz; Path=/"},
                                         {"Set-Cookie", "hop=1; Path=/"}});
        return RawHttpServer::reply(
            200, "arrived",
            {{"Set-Cookie", "fin=ok; Path=/"}, {"Content-Type", "text/plain; charset=utf-8"}});
    });

    const int before = m_raw.requestCount();
    Cookies in{{QStringLiteral("caller"), QStringLiteral("c")}};
    Cookies out = stale();
    QCOMPARE(TUKCloudHttpUtils::post(m_raw.url(QStringLiteral("/start")), QByteArray("payload=1"),
                                     QStringLiteral("application/json"), in, out),
             QStringLiteral("arrived"));
    // Only what the last reply set.
    QCOMPARE(out, (Cookies{{QStringLiteral("fin"), QStringLiteral("ok")}}));

    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].method, QByteArray("POST"));
    QCOMPARE(requests[0].header("Cookie"), QByteArray("caller=c"));
    QCOMPARE(requests[0].body, QByteArray("payload=1"));

    const RawRequest& follow = requests[1];
    QCOMPARE(follow.method, QByteArray("GET"));
    QCOMPARE(follow.target, QByteArray("/final?x=1"));
    QCOMPARE(follow.headerCount("Cookie"), 1);
    QCOMPARE(follow.header("Cookie"), QByteArray("hop=1; sid=xyz"));
    QCOMPARE(follow.header("User-Agent"), kUserAgent);
    QCOMPARE(follow.headerCount("Content-Type"), 0);
    QCOMPARE(follow.bodySize, qint64(0));
}

void TestCloudRequests::otherRedirectsAreNotFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("301") << 301;
    QTest::newRow("303") << 303;
    QTest::newRow("307") << 307;
    QTest::newRow("308") << 308;
}

void TestCloudRequests::otherRedirectsAreNotFollowed()
{
    QFETCH(int, status);
    const QByteArray elsewhere = m_raw.url(QStringLiteral("/elsewhere")).toUtf8();
    m_raw.setHandler([status, elsewhere](const RawRequest&) {
        return RawHttpServer::reply(status, "moved body",
                                    {{"Location", elsewhere}, {"Set-Cookie", "m=1; Path=/"}});
    });
    const int before = m_raw.requestCount();
    Cookies in, out = stale();
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/old")), in, out),
             QStringLiteral("moved body"));
    QCOMPARE(out, (Cookies{{QStringLiteral("m"), QStringLiteral("1")}}));
    QCOMPARE(m_raw.requestCount() - before, 1);
}

void TestCloudRequests::failuresGiveEmptyTextAndNoCookies_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("expectedRequests");

    auto bytes = [](int status, const Headers& headers) {
        return RawHttpServer::reply(status, "body that must not come back", headers).bytes;
    };
    const Headers cookie{{"Set-Cookie", "bad=1; Path=/"}};
    QTest::newRow("404 with cookie") << bytes(404, cookie) << 1;
    QTest::newRow("500 with cookie") << bytes(500, cookie) << 1;
    QTest::newRow("302 without Location") << bytes(302, cookie) << 1;
    QTest::newRow("302 relative Location")
        << bytes(302, {{"Location", "/elsewhere"}, {"Set-Cookie", "bad=1; Path=/"}}) << 1;
    QTest::newRow("302 malformed Location")
        << bytes(302, {{"Location", "http://[::1"}, {"Set-Cookie", "bad=1; Path=/"}}) << 1;
    // Qt's network layer itself retries these a few times; 0 means "at least one request".
    QTest::newRow("closed without answer") << QByteArray() << 0;
    QTest::newRow("not HTTP") << QByteArray("hello\r\n\r\n") << 0;
}

void TestCloudRequests::failuresGiveEmptyTextAndNoCookies()
{
    QFETCH(QByteArray, response);
    QFETCH(int, expectedRequests);
    m_raw.setHandler([response](const RawRequest&) {
        RawResponse r;
        r.bytes = response;
        return r;
    });
    const int before = m_raw.requestCount();
    Cookies in{{QStringLiteral("sid"), QStringLiteral("abc")}};
    Cookies out = stale();
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/x")), in, out), QString());
    QVERIFY2(out.isEmpty(), qPrintable(QStringList(out.keys()).join(',')));
    out = stale();
    QCOMPARE(
        TUKCloudHttpUtils::post(m_raw.url(QStringLiteral("/x")), QStringList(), QString(), in, out),
        QString());
    QVERIFY(out.isEmpty());
    if (expectedRequests > 0)
        QCOMPARE(m_raw.requestCount() - before, 2 * expectedRequests);
    else
        QVERIFY(m_raw.requestCount() - before >= 2);
}

void TestCloudRequests::redirectChainIsCapped()
{
    // "/hop/N" answers 302 to "/hop/N-1" and sets a cookie; "/hop/0" answers 200.
    // "/loop" answers 302 to itself for ever.
    const QString base = m_raw.url();
    m_raw.setHandler([base](const RawRequest& r) {
        if (r.target == "/loop")
            return RawHttpServer::reply(
                302, "",
                {{"Location", (base + "/loop").toUtf8()}, {"Set-Cookie", "loop=1; Path=/"}});
        const int n = r.target.mid(int(qstrlen("/hop/"))).toInt();
        if (n == 0)
            return RawHttpServer::reply(200, "end", {{"Set-Cookie", "last=1; Path=/"}});
        return RawHttpServer::reply(
            302, "",
            {{"Location", (base + "/hop/" + QString::number(n - 1)).toUtf8()},
             {"Set-Cookie", "n" + QByteArray::number(n) + "=1; Path=/"}});
    });

    Cookies in, out = stale();
    int before = m_raw.requestCount();
    // Twenty redirects are followed...
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/hop/20")), in, out),
             QStringLiteral("end"));
    QCOMPARE(out, (Cookies{{QStringLiteral("last"), QStringLiteral("1")}}));
    QCOMPARE(m_raw.requestCount() - before, 21);
    // ...the 21st 302 ends the call.
    before = m_raw.requestCount();
    out = stale();
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/hop/21")), in, out), QString());
    QVERIFY(out.isEmpty());
    QCOMPARE(m_raw.requestCount() - before, 21);
    // The last request of the capped chain was the 21st hop, carrying the 20th hop's cookie.
    QCOMPARE(m_raw.requests().last().target, QByteArray("/hop/1"));
    QCOMPARE(m_raw.requests().last().header("Cookie"), QByteArray("n2=1"));

    before = m_raw.requestCount();
    out = stale();
    QCOMPARE(TUKCloudHttpUtils::post(m_raw.url(QStringLiteral("/loop")), QByteArray("a"), QString(),
                                     in, out),
             QString());
    QVERIFY(out.isEmpty());
    QCOMPARE(m_raw.requestCount() - before, 21);
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_raw.url(QStringLiteral("/loop"))), qint64(0));
    QCOMPARE(TUKCloudHttpUtils::isSupportResumeDownload(m_raw.url(QStringLiteral("/loop"))), false);
    QCOMPARE(m_raw.requestCount() - before, 3 * 21);
}

void TestCloudRequests::charsetDecidesDecoding_data()
{
    QTest::addColumn<QByteArray>("contentType"); // null: no header
    QTest::addColumn<bool>("utf8");

    QTest::newRow("json UTF-8") << QByteArray("application/json; charset=UTF-8") << true;
    QTest::newRow("html utf-8") << QByteArray("text/html; charset=utf-8") << true;
    QTest::newRow("charset first") << QByteArray("charset=Utf-8; text/plain") << true;
    QTest::newRow("gbk") << QByteArray("text/html; charset=gbk") << false;
    QTest::newRow("no header") << QByteArray() << false;
    QTest::newRow("utf8 without hyphen") << QByteArray("text/plain; charset=utf8") << false;
    QTest::newRow("quoted") << QByteArray("text/plain; charset=\"utf-8\"") << false;
    QTest::newRow("blank after =") << QByteArray("text/plain; charset= utf-8") << false;
}

void TestCloudRequests::charsetDecidesDecoding()
{
    QFETCH(QByteArray, contentType);
    QFETCH(bool, utf8);

    const QByteArray body = "caf\xc3\xa9 \xe6\x97\xa5";
    m_raw.setHandler([body, contentType](const RawRequest&) {
        Headers headers;
        if (!contentType.isNull())
            headers.append({"Content-Type", contentType});
        return RawHttpServer::reply(200, body, headers);
    });

    Latin1Locale pinned;
    const QString expected =
        utf8 ? QStringLiteral("caf\u00e9 \u65e5") : QString::fromLatin1(body); // "cafÃ© æ\u0097¥"
    QVERIFY(QString::fromUtf8(body) != QString::fromLatin1(body));
    Cookies in, out;
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/text")), in, out), expected);
    QCOMPARE(TUKCloudHttpUtils::post(m_raw.url(QStringLiteral("/text")), QByteArray("q"), QString(),
                                     in, out),
             expected);
}

void TestCloudRequests::badUrlsSendNothing()
{
    const int connections = m_raw.connectionCount();
    const QStringList bad{QString(), QStringLiteral("http://127.0.0.1:%1:9/x").arg(m_raw.port()),
                          QStringLiteral("http://[127.0.0.1]:%1/").arg(m_raw.port())};
    for (const QString& url : bad) {
        Cookies in{{QStringLiteral("sid"), QStringLiteral("abc")}};
        Cookies out = stale();
        QCOMPARE(TUKCloudHttpUtils::get(url, in, out), QString());
        QVERIFY(out.isEmpty());
        out = stale();
        QCOMPARE(TUKCloudHttpUtils::post(url, QByteArray("a=1"), QString(), in, out), QString());
        QVERIFY(out.isEmpty());
        out = stale();
        QCOMPARE(
            TUKCloudHttpUtils::post(url, QStringList{QStringLiteral("a=1")}, QString(), in, out),
            QString());
        QVERIFY(out.isEmpty());
        QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(url), qint64(0));
        QCOMPARE(TUKCloudHttpUtils::isSupportResumeDownload(url), false);
    }
    // One good call afterwards is the only connection the server sees.
    Cookies in, out;
    QCOMPARE(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/")), in, out), QStringLiteral("ok"));
    QCOMPARE(m_raw.connectionCount() - connections, 1);
}

void TestCloudRequests::httpbinCookiesAndRedirects()
{
    // Control: httpbin sees the cookies we send.
    Cookies in{{QStringLiteral("caller"), QStringLiteral("c1")}};
    Cookies out = stale();
    QJsonObject seen = json(TUKCloudHttpUtils::get(m_httpbin.url(QStringLiteral("/cookies")), in,
                                                   out))[QStringLiteral("cookies")]
                           .toObject();
    QCOMPARE(seen.value(QStringLiteral("caller")).toString(), QStringLiteral("c1"));
    QVERIFY(out.isEmpty());

    // A 302 (absolute Location) that sets no cookie: the follow-up carries none of the caller's.
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("url"), m_httpbin.url(QStringLiteral("/cookies")));
    q.addQueryItem(QStringLiteral("status_code"), QStringLiteral("302"));
    const QString redirect =
        m_httpbin.url(QStringLiteral("/redirect-to?")) + q.toString(QUrl::FullyEncoded);
    out = stale();
    const QString text = TUKCloudHttpUtils::get(redirect, in, out);
    QVERIFY2(json(text).contains(QStringLiteral("cookies")), qPrintable(text));
    QVERIFY(json(text)[QStringLiteral("cookies")].toObject().isEmpty());

    // A 302 of our own that sets sid, pointing at httpbin: httpbin sees sid and nothing else.
    const QByteArray target = m_httpbin.url(QStringLiteral("/cookies")).toUtf8();
    m_raw.setHandler([target](const RawRequest&) {
        return RawHttpServer::reply(302, "",
                                    {{"Location", target}, {"Set-Cookie", "sid=xyz; Path=/"}});
    });
    seen = json(TUKCloudHttpUtils::get(m_raw.url(QStringLiteral("/login")), in,
                                       out))[QStringLiteral("cookies")]
               .toObject();
    QCOMPARE(seen, (QJsonObject{{QStringLiteral("sid"), QStringLiteral("xyz")}}));

    // Cookies set by a 200 come back.
    out = stale();
    QVERIFY(!TUKCloudHttpUtils::get(m_httpbin.url(QStringLiteral(
                                        "/response-headers?Set-Cookie=k%3Dv%3B%20Path%3D%2F")),
                                    in, out)
                 .isEmpty());
    QCOMPARE(out, (Cookies{{QStringLiteral("k"), QStringLiteral("v")}}));

    // httpbin's own cookie setter redirects to a relative Location, which is not resolved: the
    // call fails and returns none of the cookies the 302 set.
    out = stale();
    QCOMPARE(TUKCloudHttpUtils::get(m_httpbin.url(QStringLiteral("/cookies/set?a=1")), in, out),
             QString());
    QVERIFY(out.isEmpty());
}

void TestCloudRequests::httpbinRedirectStatuses()
{
    // httpbin answers /redirect-to with the given status; our raw server is the target and counts
    // whether a follow-up arrived.
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "target"); });
    for (const int status : {302, 301, 303}) {
        QUrlQuery q;
        q.addQueryItem(QStringLiteral("url"), m_raw.url(QStringLiteral("/target")));
        q.addQueryItem(QStringLiteral("status_code"), QString::number(status));
        const QString url =
            m_httpbin.url(QStringLiteral("/redirect-to?")) + q.toString(QUrl::FullyEncoded);
        const int before = m_raw.requestCount();
        Cookies in, out;
        const QString text = TUKCloudHttpUtils::get(url, in, out);
        if (status == 302) {
            QCOMPARE(text, QStringLiteral("target"));
            QCOMPARE(m_raw.requestCount() - before, 1);
        } else {
            QCOMPARE(text, QString()); // httpbin's redirect body is empty
            QCOMPARE(m_raw.requestCount() - before, 0);
        }
    }
}

QTEST_GUILESS_MAIN(TestCloudRequests)
#include "tst_cloud_requests.moc"
