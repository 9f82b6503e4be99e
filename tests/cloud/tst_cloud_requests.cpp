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
using Http = TUKCloudHttpUtils;
using Cookies = QMap<QString, QString>;
using Headers = QList<QPair<QByteArray, QByteArray>>;

namespace {

const QByteArray kUserAgent = "Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like "
                              "Gecko) Chrome/21.0.1180.89 Safari/537.1";

// A map that must be emptied by every public operation.
const Cookies kStale{{"stale", "1"}};

QJsonObject cookiesSeenBy(const QString& httpbinReply)
{
    return QJsonDocument::fromJson(httpbinReply.toUtf8())["cookies"].toObject();
}

} // namespace

class TestCloudRequests : public QObject
{
    Q_OBJECT

    RawHttpServer m_raw;
    tuktest::HttpBinServer m_httpbin;

    void serve(int status, const QByteArray& body, const Headers& headers = {})
    {
        m_raw.setHandler(
            [=](const RawRequest&) { return RawHttpServer::reply(status, body, headers); });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_raw.start());
        QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
    }
    void init() { serve(200, "ok"); }

    void sameMapForInAndOutSendsNoCookie()
    {
        const int before = m_raw.requestCount();
        serve(200, "set", {{"Set-Cookie", "fresh=1; Path=/"}});
        Cookies both{{"sid", "abc"}};
        QCOMPARE(Http::post(m_raw.url("/same"), QByteArray("x=1"), QString(), both, both),
                 QStringLiteral("set"));
        QCOMPARE(both, (Cookies{{"fresh", "1"}}));
        QCOMPARE(Http::get(m_raw.url("/same"), both, both), QStringLiteral("set"));
        const QList<RawRequest> requests = m_raw.requests().mid(before);
        QCOMPARE(requests.size(), 2);
        for (const RawRequest& r : requests)
            QCOMPARE(r.headerCount("Cookie"), 0);
    }

    void requestAsSent_data()
    {
        QTest::addColumn<int>("call"); // 0 get, 1 post the body's bytes, 2 post the list
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<bool>("withCookies");
        QTest::addColumn<QByteArray>("body");

        const QStringList none;
        QTest::newRow("get with cookies") << 0 << none << QString() << true << QByteArray();
        QTest::newRow("bytes, default type")
            << 1 << none << QString() << true << QByteArray("k=v&x=%20");
        QTest::newRow("bytes, own type")
            << 1 << none << "application/json" << false << QByteArray("{\"a\":1}");
        QTest::newRow("list a b") << 2 << QStringList{"a=1", "b=2"} << QString() << false
                                  << QByteArray("a=1&b=2");
        QTest::newRow("list leading empty") << 2 << QStringList{QString(), QString(), "a=1"}
                                            << QString() << false << QByteArray("a=1");
        QTest::newRow("list inner empty") << 2 << QStringList{"a=1", QString(), "b=2"} << QString()
                                          << false << QByteArray("a=1&&b=2");
        QTest::newRow("list empty") << 2 << none << QString() << false << QByteArray();
        QTest::newRow("list verbatim utf8")
            << 2 << QStringList{"q=a b&c", QStringLiteral("name=\u00fc"), "bare"}
            << "text/plain; charset=utf-8" << false << QByteArray("q=a b&c&name=\xc3\xbc&bare");
    }
    void requestAsSent()
    {
        QFETCH(int, call);
        QFETCH(QStringList, list);
        QFETCH(QString, contentType);
        QFETCH(bool, withCookies);
        QFETCH(QByteArray, body);

        const int before = m_raw.requestCount();
        const QString url = m_raw.url("/page?q=1");
        Cookies in, out = kStale;
        if (withCookies)
            in = {{"sid", "abc"}, {"lang", QString()}, {QString(), "orphan"},
                  {"b", "2"},     {"Zeta", "z"},       {"nom", QStringLiteral("d\u00e9j\u00e0")}};
        QCOMPARE(call == 0   ? Http::get(url, in, out)
                 : call == 1 ? Http::post(url, body, contentType, in, out)
                             : Http::post(url, list, contentType, in, out),
                 QStringLiteral("ok"));
        QVERIFY(out.isEmpty());

        const QList<RawRequest> requests = m_raw.requests().mid(before);
        QCOMPARE(requests.size(), 1);
        const RawRequest& r = requests.first();
        QCOMPARE(r.method, QByteArray(call == 0 ? "GET" : "POST"));
        QCOMPARE(r.target, QByteArray("/page?q=1"));
        QCOMPARE(r.headerCount("User-Agent"), 1);
        QCOMPARE(r.header("User-Agent"), kUserAgent);
        // One header in ordinal key order, empty names and values dropped, UTF-8.
        QCOMPARE(r.headerCount("Cookie"), withCookies ? 1 : 0);
        if (withCookies)
            QCOMPARE(r.header("Cookie"),
                     QByteArray("Zeta=z; b=2; nom=d\xc3\xa9j\xc3\xa0; sid=abc"));
        QCOMPARE(r.headerCount("Content-Type"), call == 0 ? 0 : 1);
        if (call != 0)
            QCOMPARE(r.header("Content-Type"), contentType.isEmpty()
                                                   ? QByteArray("application/x-www-form-urlencoded")
                                                   : contentType.toUtf8());
        QCOMPARE(r.body, body);
        QCOMPARE(r.bodySize, qint64(body.size()));
    }

    void redirect302CarriesOnlyItsOwnCookies()
    {
        const QByteArray finalUrl = m_raw.url("/final?x=1").toUtf8();
        m_raw.setHandler([finalUrl](const RawRequest& r) {
            if (r.target == "/start")
                return RawHttpServer::reply(302, "moving",
                                            {{"Location", finalUrl},
                                             {"Set-Cookie", "sid=xyz; Path=/"},
                                             {"Set-Cookie", "hop=1; Path=/"}});
            return RawHttpServer::reply(200, "arrived", {{"Set-Cookie", "fin=ok; Path=/"}});
        });

        const int before = m_raw.requestCount();
        Cookies in{{"caller", "c"}}, out = kStale;
        QCOMPARE(
            Http::post(m_raw.url("/start"), QByteArray("payload=1"), "application/json", in, out),
            QStringLiteral("arrived"));
        QCOMPARE(out, (Cookies{{"fin", "ok"}})); // only what the last reply set

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

    void answersOtherThanA302_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expectedRequests"); // 0: at least one

        auto bytes = [](int status, const QByteArray& location = QByteArray()) {
            Headers headers{{"Set-Cookie", "m=1; Path=/"}};
            if (!location.isNull())
                headers.append({"Location", location});
            return RawHttpServer::reply(status, "moved body", headers).bytes;
        };
        // Other redirects are not followed: their body and cookies are the answer.
        for (const int status : {301, 303, 307, 308})
            QTest::newRow(QByteArray::number(status))
                << bytes(status, m_raw.url("/elsewhere").toUtf8()) << QStringLiteral("moved body")
                << 1;
        // Failures give empty text and no cookies.
        QTest::newRow("404 with cookie") << bytes(404) << QString() << 1;
        QTest::newRow("500 with cookie") << bytes(500) << QString() << 1;
        QTest::newRow("302 without Location") << bytes(302) << QString() << 1;
        QTest::newRow("302 relative Location") << bytes(302, "/elsewhere") << QString() << 1;
        QTest::newRow("302 malformed Location") << bytes(302, "http://[::1") << QString() << 1;
        // Qt's network layer itself retries these a few times.
        QTest::newRow("closed without answer") << QByteArray() << QString() << 0;
        QTest::newRow("not HTTP") << QByteArray("hello\r\n\r\n") << QString() << 0;
    }
    void answersOtherThanA302()
    {
        QFETCH(QByteArray, response);
        QFETCH(QString, text);
        QFETCH(int, expectedRequests);
        m_raw.setHandler([response](const RawRequest&) { return tuktest::RawResponse{response}; });
        const Cookies expectedOut = text.isEmpty() ? Cookies() : Cookies{{"m", "1"}};
        const int before = m_raw.requestCount();
        Cookies in{{"sid", "abc"}}, out = kStale;
        QCOMPARE(Http::get(m_raw.url("/x"), in, out), text);
        QCOMPARE(out, expectedOut);
        out = kStale;
        QCOMPARE(Http::post(m_raw.url("/x"), QStringList(), QString(), in, out), text);
        QCOMPARE(out, expectedOut);
        if (expectedRequests > 0)
            QCOMPARE(m_raw.requestCount() - before, 2 * expectedRequests);
        else
            QVERIFY(m_raw.requestCount() - before >= 2);
    }
    void redirectChainIsCapped()
    {
        // "/hop/N" answers 302 to "/hop/N-1" and sets a cookie; "/hop/0" answers 200; "/loop"
        // answers 302 to itself for ever.
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

        Cookies in, out = kStale;
        int before = m_raw.requestCount();
        // Twenty redirects are followed...
        QCOMPARE(Http::get(m_raw.url("/hop/20"), in, out), QStringLiteral("end"));
        QCOMPARE(out, (Cookies{{"last", "1"}}));
        QCOMPARE(m_raw.requestCount() - before, 21);
        // ...the 21st 302 ends the call; its request carried the 20th hop's cookie.
        before = m_raw.requestCount();
        out = kStale;
        QCOMPARE(Http::get(m_raw.url("/hop/21"), in, out), QString());
        QVERIFY(out.isEmpty());
        QCOMPARE(m_raw.requestCount() - before, 21);
        QCOMPARE(m_raw.requests().last().target, QByteArray("/hop/1"));
        QCOMPARE(m_raw.requests().last().header("Cookie"), QByteArray("n2=1"));

        before = m_raw.requestCount();
        out = kStale;
        QCOMPARE(Http::post(m_raw.url("/loop"), QByteArray("a"), QString(), in, out), QString());
        QVERIFY(out.isEmpty());
        QCOMPARE(m_raw.requestCount() - before, 21);
        QCOMPARE(Http::getRemoteFileSize(m_raw.url("/loop")), qint64(0));
        QCOMPARE(Http::isSupportResumeDownload(m_raw.url("/loop")), false);
        QCOMPARE(m_raw.requestCount() - before, 3 * 21);
    }

    void charsetDecidesDecoding_data()
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
    void charsetDecidesDecoding()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(bool, utf8);
        const QByteArray body = "caf\xc3\xa9 \xe6\x97\xa5";
        serve(200, body, contentType.isNull() ? Headers() : Headers{{"Content-Type", contentType}});

        // The local 8-bit code page is pinned to Latin-1, so that text decoded with it differs
        // visibly from UTF-8 whatever the machine's locale is.
        QTextCodec* const previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        Cookies in, out;
        const QString viaGet = Http::get(m_raw.url("/text"), in, out);
        const QString viaPost = Http::post(m_raw.url("/text"), QByteArray("q"), QString(), in, out);
        QTextCodec::setCodecForLocale(previous);

        const QString expected =
            utf8 ? QStringLiteral("caf\u00e9 \u65e5") : QString::fromLatin1(body);
        QCOMPARE(viaGet, expected);
        QCOMPARE(viaPost, expected);
    }

    void badUrlsSendNothing()
    {
        const int connections = m_raw.connectionCount();
        for (const QString& url : {QString(), m_raw.url() + ":9/x",
                                   m_raw.url().replace("127.0.0.1", "[127.0.0.1]") + "/"}) {
            Cookies in{{"sid", "abc"}};
            Cookies out1 = kStale, out2 = kStale, out3 = kStale;
            QCOMPARE(Http::get(url, in, out1), QString());
            QCOMPARE(Http::post(url, QByteArray("a=1"), QString(), in, out2), QString());
            QCOMPARE(Http::post(url, QStringList{"a=1"}, QString(), in, out3), QString());
            QVERIFY(out1.isEmpty() && out2.isEmpty() && out3.isEmpty());
            QCOMPARE(Http::getRemoteFileSize(url), qint64(0));
            QCOMPARE(Http::isSupportResumeDownload(url), false);
        }
        // One good call afterwards is the only connection the server sees.
        Cookies in, out;
        QCOMPARE(Http::get(m_raw.url("/"), in, out), QStringLiteral("ok"));
        QCOMPARE(m_raw.connectionCount() - connections, 1);
    }

    void againstHttpbin()
    {
        // httpbin parses the cookies we send, and those its 200 sets come back.
        Cookies in{{"caller", "c1"}}, out = kStale;
        QCOMPARE(cookiesSeenBy(Http::get(m_httpbin.url("/cookies"), in, out)),
                 (QJsonObject{{"caller", "c1"}}));
        QVERIFY(out.isEmpty());
        QVERIFY(
            !Http::get(m_httpbin.url("/response-headers?Set-Cookie=k%3Dv%3B%20Path%3D%2F"), in, out)
                 .isEmpty());
        QCOMPARE(out, (Cookies{{"k", "v"}}));

        // httpbin's own 302 is followed, without the caller's cookies.
        QUrlQuery q{{"url", m_httpbin.url("/cookies")}, {"status_code", "302"}};
        const QString text =
            Http::get(m_httpbin.url("/redirect-to?") + q.toString(QUrl::FullyEncoded), in, out);
        QVERIFY2(cookiesSeenBy(text).isEmpty() && text.contains("cookies"), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestCloudRequests)
#include "tst_cloud_requests.moc"
