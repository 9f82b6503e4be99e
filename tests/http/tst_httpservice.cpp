// Request building, dispatch and blocking/callback execution of TUKHttpService against real
// servers on loopback: our raw server where the exact bytes matter, httpbin and nginx otherwise.
#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKHttpService.h>

#include "HttpBinServer.h"
#include "MessageLog.h"
#include "NginxServer.h"
#include "RawHttpServer.h"
#include "TukTestEnv.h"

#include <QElapsedTimer>
#include <QTextCodec>
#include <QtTest>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using NetworkError = QNetworkReply::NetworkError;

namespace {

const QByteArray kFormType = "application/x-www-form-urlencoded";

// What the callbacks of callback verbs reported.
struct Calls
{
    int successes = 0, failures = 0;
    QString text;
    NetworkError code = QNetworkReply::NoError;
    std::function<void(const QString&)> onSuccess = [this](const QString& t) {
        ++successes, text = t;
    };
    std::function<void(NetworkError, const QString&)> onFailure = [this](NetworkError c,
                                                                         const QString& t) {
        ++failures, code = c, text = t;
    };
};

// One request of requestOnTheWire: what is set on the object, and what must reach the server.
struct WireCase
{
    QByteArray verb;
    QString path, body;
    QStringList params; // key, value, key, value...
    QString contentTypeHeader;
    QByteArray wantTarget, wantBody, wantContentType;
};

// How a blocking call of the library ended: the code it reported (NoError when none), the text it
// returned or the bytes it delivered, and how many outcomes it reported.
struct Ending
{
    NetworkError code = QNetworkReply::NoError;
    QString text;
    int outcomes = 0;
};
using BlockingCall = std::function<Ending(const QString& url, int timeoutMs)>;

Ending verbGet(const QString& url, int timeoutMs)
{
    Ending e;
    e.text = TUKHttpService(url).setTimeout(timeoutMs).get(e.code);
    e.outcomes = 1;
    return e;
}

Ending streamingDownload(const QString& url, int timeoutMs)
{
    Ending e;
    TUKHttpService(url).setTimeout(timeoutMs).downloadSync(
        [&](const QByteArray& chunk, bool&) { e.text += QString::fromUtf8(chunk); },
        [&](QNetworkReply*) { ++e.outcomes; }, nullptr,
        [&](NetworkError code, const QString&) { ++e.outcomes, e.code = code; });
    return e;
}

Ending staticGet(const QString& url, int)
{
    QMap<QString, QString> cookies;
    return {QNetworkReply::NoError, TUKCloudHttpUtils::get(url, {}, cookies), 1};
}

} // namespace

Q_DECLARE_METATYPE(WireCase)
Q_DECLARE_METATYPE(BlockingCall)

class TestHttpService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void requestOnTheWire_data();
    void requestOnTheWire();
    void requestStateAcrossExecutions();
    void resetKeepsOnlyTheUrl();
    void httpsSkipsCertificateVerification();

    void blockingFailures();
    void waitEndings_data();
    void waitEndings();
    void fireAndForgetRepliesAreReleased();

    void callbackVerbs();
    void droppedAndMissingCallbacks();

    void decodingFollowsTheConfiguredCodec();
    void debugWritesOneLinePerRequest();

private:
    RawRequest lastRequest() const { return m_raw.requests().constLast(); }
    // A complete blocking request through the event loop: whatever was queued before has run.
    void roundTrip()
    {
        NetworkError err;
        TUKHttpService(m_raw.url(QStringLiteral("/sync"))).setTimeout(20000).get(err);
        QCOMPARE(err, QNetworkReply::NoError);
    }

    RawHttpServer m_raw;
    tuktest::HttpBinServer m_httpbin;
    tuktest::NginxServer m_nginx;
};

void TestHttpService::initTestCase()
{
    m_raw.setHandler([](const RawRequest& r) {
        if (r.target.startsWith("/hang"))
            return RawHttpServer::neverAnswer();
        if (r.target.startsWith("/partial")) // ten bytes of a hundred, then nothing
            return tuktest::RawResponse{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789",
                                        false, false};
        if (r.target.startsWith("/gbk"))
            return RawHttpServer::reply(
                200, QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("中文测试")),
                {{"Content-Type", "text/plain; charset=utf-8"}});
        if (r.target.startsWith("/utf8"))
            return RawHttpServer::reply(200, QStringLiteral("Grüße ∮ E⋅da").toUtf8(),
                                        {{"Content-Type", "text/plain; charset=GBK"}});
        return RawHttpServer::reply(200, "raw-ok");
    });
    QVERIFY(m_raw.start());
    QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
    QVERIFY2(m_nginx.start(), qPrintable(m_nginx.errorString()));
    QVERIFY(m_nginx.writeFile(QStringLiteral("hello.txt"), "hello over tls"));
}

// What each method puts on the wire: where the parameters go, which body is sent and whether the
// form content type is set.
void TestHttpService::requestOnTheWire_data()
{
    QTest::addColumn<WireCase>("c");
    const QStringList ab{"a", "1", "b", "x y"};
    const QByteArray abQuery = "/p?a=1&b=x%20y", abForm = "a=1&b=x%20y", none;
    auto row = [](const char* name, const WireCase& c) {
        QTest::newRow(name) << c;
    };
    row("get: params in query", {"GET", "/p", "", ab, "", abQuery, none, none});
    row("get: second question mark",
        {"GET", "/p?x=1", "", {"a", "1"}, "", "/p?x=1?a=1", none, none});
    row("get: body never sent", {"GET", "/p", "ignored", {}, "", "/p", none, none});
    row("head: params in query", {"HEAD", "/p", "", ab, "", abQuery, none, none});
    row("post: params as form body", {"POST", "/p", "", ab, "", "/p", abForm, kFormType});
    row("post: body wins over params",
        {"POST", "/p", "raw body é", ab, "", "/p", "raw body é", kFormType});
    row("post: nothing to send", {"POST", "/p", "", {}, "", "/p", none, kFormType});
    row("post: content-type header replaces form type",
        {"POST", "/p", "{\"k\":1}", {}, "application/json", "/p", "{\"k\":1}", "application/json"});
    row("put: params as form body", {"PUT", "/p", "", ab, "", "/p", abForm, kFormType});
    row("put: body as UTF-8", {"PUT", "/p", "käse=1", ab, "", "/p", "käse=1", kFormType});
    row("delete: params go nowhere, form type set",
        {"DELETE", "/p", "body", ab, "", "/p", none, kFormType});
    row("patch: empty body, params in query", {"PATCH", "/p", "", ab, "", abQuery, none, none});
    row("patch: body sent", {"PATCH", "/p", "patched", {}, "", "/p", "patched", none});
}

void TestHttpService::requestOnTheWire()
{
    QFETCH(WireCase, c);
    TUKHttpService svc(m_raw.url(c.path));
    svc.setBody(c.body).setTimeout(20000);
    for (int i = 0; i + 1 < c.params.size(); i += 2)
        svc.addParam(c.params.at(i), c.params.at(i + 1));
    if (!c.contentTypeHeader.isEmpty())
        svc.addHeader(QStringLiteral("Content-Type"), c.contentTypeHeader);

    const int before = m_raw.requestCount();
    NetworkError err = QNetworkReply::UnknownNetworkError;
    const QByteArray& verb = c.verb;
    const QString result = verb == "GET"     ? svc.get(err)
                           : verb == "POST"  ? svc.post(err)
                           : verb == "PUT"   ? svc.put(err)
                           : verb == "PATCH" ? svc.patch(err)
                           : verb == "HEAD"  ? svc.head(err)
                                             : svc.deleteResource(err);
    QCOMPARE(err, QNetworkReply::NoError);
    QCOMPARE(result, verb == "HEAD" ? QString() : QStringLiteral("raw-ok"));
    QCOMPARE(m_raw.requestCount(), before + 1);

    const RawRequest r = lastRequest();
    QCOMPARE(r.method, verb);
    QCOMPARE(r.target, c.wantTarget);
    QCOMPARE(r.body, c.wantBody);
    QCOMPARE(r.header("Content-Type"), c.wantContentType);
    QVERIFY(r.headerCount("Content-Type") <= 1);
}

// Headers and parameters accumulate; each execution starts from the setter-controlled fields
// alone.
void TestHttpService::requestStateAcrossExecutions()
{
    TUKHttpService svc(m_raw.url(QStringLiteral("/acc")));
    svc.addHeader(QStringLiteral("X-One"), QStringLiteral("1"))
        .addHeader(QStringLiteral("X-One"), QStringLiteral("2"))
        .addParam(QStringLiteral("a"), QStringLiteral("1"))
        .addParam(QStringLiteral("a"), QStringLiteral("2"))
        .setTimeout(20000);
    NetworkError err;
    for (int i = 0; i < 2; ++i) {
        svc.get(err);
        QCOMPARE(err, QNetworkReply::NoError);
        QCOMPARE(lastRequest().target, QByteArray("/acc?a=1&a=2"));
        QCOMPARE(lastRequest().headerCount("X-One"), 1);
        QCOMPARE(lastRequest().header("X-One"), QByteArray("2"));
    }

    // Cleared headers and parameters are gone from the next request.
    svc.clearHeader().clearParam().get(err);
    QCOMPARE(lastRequest().target, QByteArray("/acc"));
    QCOMPARE(lastRequest().headerCount("X-One"), 0);

    // A form request followed by a GET: the form content type is not carried over.
    svc.post(err);
    QCOMPARE(lastRequest().header("Content-Type"), kFormType);
    svc.get(err);
    QCOMPARE(lastRequest().header("Content-Type"), QByteArray());

    // An https execution leaves no TLS setting behind for a later plain one on the same object.
    QCOMPARE(svc.setUrl(m_nginx.httpsUrl(QStringLiteral("/hello.txt"))).get(err),
             QStringLiteral("hello over tls"));
    QCOMPARE(err, QNetworkReply::NoError);
    QCOMPARE(svc.setUrl(m_raw.url(QStringLiteral("/plain"))).get(err), QStringLiteral("raw-ok"));
    QCOMPARE(err, QNetworkReply::NoError);
}

// https in any letter case skips certificate verification. A fresh object (and so a fresh
// connection) for each: a connection reused from an earlier handshake would verify nothing.
void TestHttpService::httpsSkipsCertificateVerification()
{
    for (const char* scheme : {"https", "HTTPS", "HttpS"}) {
        QString url = m_nginx.httpsUrl(QStringLiteral("/hello.txt"));
        TUKHttpService svc(url.replace(0, 5, QLatin1String(scheme)));
        NetworkError err;
        QCOMPARE(svc.setTimeout(20000).get(err), QStringLiteral("hello over tls"));
        QCOMPARE(err, QNetworkReply::NoError);
    }
}

void TestHttpService::resetKeepsOnlyTheUrl()
{
    TUKHttpService svc(m_raw.url(QStringLiteral("/reset")));
    svc.setBody(QStringLiteral("b"))
        .addParam(QStringLiteral("p"), QStringLiteral("1"))
        .addHeader(QStringLiteral("X-Gone"), QStringLiteral("1"))
        .setTimeout(1)
        .setEncoding(QStringLiteral("GBK"))
        .setDebug(true);
    QCOMPARE(&svc.reset(), &svc);

    tuktest::MessageLog log({QtDebugMsg});
    NetworkError err;
    QCOMPARE(svc.post(err), QStringLiteral("raw-ok")); // a 1 ms limit would have expired
    QVERIFY(log.messages().isEmpty());                 // debug is off again
    QCOMPARE(err, QNetworkReply::NoError);
    const RawRequest r = lastRequest();
    QCOMPARE(r.target, QByteArray("/reset"));
    QCOMPARE(r.body, QByteArray());
    QCOMPARE(r.headerCount("X-Gone"), 0);

    // The default object has an empty URL: a request to it fails rather than hangs.
    TUKHttpService empty;
    QCOMPARE(empty.get(err), QString(""));
    QVERIFY(err != QNetworkReply::NoError);
}

void TestHttpService::blockingFailures()
{
    // A failure, an error answer's body included, returns empty text, never a null one.
    NetworkError err;
    const QString refused = QStringLiteral("http://127.0.0.1:%1/").arg(tuktest::freeLoopbackPort());
    for (const auto& [url, code] : {
             std::make_pair(m_httpbin.url(QStringLiteral("/status/404")),
                            QNetworkReply::ContentNotFoundError),
             std::make_pair(m_httpbin.url(QStringLiteral("/status/418")),
                            QNetworkReply::ProtocolInvalidOperationError),
             std::make_pair(refused, QNetworkReply::ConnectionRefusedError),
         }) {
        const QString text = TUKHttpService(url).setTimeout(20000).get(err);
        QCOMPARE(err, code);
        QVERIFY(text.isEmpty() && !text.isNull());
    }

    // A time-out leaves the object usable.
    TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
    svc.setTimeout(1000).get(err);
    QCOMPARE(err, QNetworkReply::TimeoutError);
    // The object stays usable after a time-out.
    svc.setUrl(m_raw.url(QStringLiteral("/after")));
    QCOMPARE(svc.setTimeout(20000).get(err), QStringLiteral("raw-ok"));
    QCOMPARE(err, QNetworkReply::NoError);

    // Zero or less is no limit: a slow reply is waited for, and a failure comes back as itself.
    for (int limit : {0, -5}) {
        TUKHttpService slow(m_httpbin.url(QStringLiteral("/delay/2")));
        QVERIFY(slow.setTimeout(limit).get(err).contains(QStringLiteral("/delay/2")));
        QCOMPARE(err, QNetworkReply::NoError);
        TUKHttpService(refused).setTimeout(limit).get(err);
        QCOMPARE(err, QNetworkReply::ConnectionRefusedError);
    }
}

// Every blocking call waits the same way. A time limit ends it no earlier than the limit; the
// application being told to exit ends it with an error, never with part of a body as success.
void TestHttpService::waitEndings_data()
{
    QTest::addColumn<BlockingCall>("call");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("exitMidway");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    const int timeout = QNetworkReply::TimeoutError,
              canceled = QNetworkReply::OperationCanceledError;
    const BlockingCall get = verbGet, download = streamingDownload, cloud = staticGet;
    QTest::newRow("verb, limit") << get << "/hang" << 1000 << false << timeout << "";
    QTest::newRow("download, limit")
        << download << "/partial" << 1000 << false << timeout << "0123456789";
    QTest::newRow("verb, exit, no answer") << get << "/hang" << 0 << true << canceled << "";
    QTest::newRow("verb, exit mid-body") << get << "/partial" << 0 << true << canceled << "";
    QTest::newRow("download, exit mid-body")
        << download << "/partial" << 60000 << true << canceled << "0123456789";
    QTest::newRow("static get, exit mid-body") << cloud << "/partial" << 0 << true << 0 << "";
}

void TestHttpService::waitEndings()
{
    QFETCH(BlockingCall, call);
    QFETCH(QString, path);
    QFETCH(int, timeoutMs);
    QFETCH(bool, exitMidway);
    if (exitMidway) // once the server has sent what it will send
        QTimer::singleShot(300, [] { QCoreApplication::exit(); });
    QElapsedTimer clock;
    clock.start();
    const Ending e = call(m_raw.url(path), timeoutMs);
    const qint64 elapsed = clock.elapsed();
    // An application told to exit ends every wait at once until its own loop has returned.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();

    QTEST(int(e.code), "code");
    QTEST(e.text, "text");
    QCOMPARE(e.outcomes, 1);
    if (!exitMidway)
        QVERIFY2(elapsed >= timeoutMs && elapsed < 15000, qPrintable(QString::number(elapsed)));
}

// A callback request with an empty success callback still gives its reply back: thousands of them
// leave the heap where it was.
void TestHttpService::fireAndForgetRepliesAreReleased()
{
    QVERIFY(m_nginx.writeFile(QStringLiteral("small.txt"), "small"));
    TUKHttpService svc(m_nginx.url(QStringLiteral("/small.txt")));
    int successes = 0, failures = 0;
    const auto onSuccess = [&successes](const QString&) {
        ++successes;
    };
    const auto onFailure = [&failures](NetworkError, const QString&) {
        ++failures;
    };
    auto burst = [&](int count, const std::function<void(const QString&)>& success) {
        for (int i = 0; i < count; ++i)
            svc.get(success, onFailure);
    };
    burst(300, onSuccess); // warms up connections and caches
    QTRY_COMPARE_WITH_TIMEOUT(successes, 300, 30000);
    const qint64 base = tuktest::heapInUse();
    burst(3000, nullptr); // a reply kept costs several KiB: 3000 would be many MiB
    QTRY_VERIFY2_WITH_TIMEOUT(tuktest::heapInUse() - base < 2 * 1024 * 1024,
                              qPrintable(QString::number(tuktest::heapInUse() - base)), 20000);
    QCOMPARE(failures, 0);
}

// Each outcome arrives once and only after the verb has returned: a success with the answer, a
// failure with its code and text.
void TestHttpService::callbackVerbs()
{
    Calls post, patch, missing, late;
    TUKHttpService postSvc(m_httpbin.url(QStringLiteral("/post")));
    TUKHttpService patchSvc(m_httpbin.url(QStringLiteral("/patch")));
    TUKHttpService missingSvc(m_httpbin.url(QStringLiteral("/status/404")));
    TUKHttpService lateSvc(m_raw.url(QStringLiteral("/gbk")));
    postSvc.setBody(QStringLiteral("post-body")).post(post.onSuccess, post.onFailure);
    patchSvc.setBody(QStringLiteral("patch-body")).patch(patch.onSuccess, patch.onFailure);
    missingSvc.get(missing.onSuccess, missing.onFailure);
    lateSvc.get(late.onSuccess, nullptr);
    lateSvc.setEncoding(QStringLiteral("GBK")); // the encoding in force when the answer arrives
    const QList<Calls*> all{&post, &patch, &missing, &late};
    for (const Calls* c : all)
        QCOMPARE(c->successes + c->failures, 0);

    QTRY_COMPARE_WITH_TIMEOUT(post.successes, 1, 20000);
    QVERIFY(post.text.contains(QStringLiteral("post-body")));
    QTRY_COMPARE_WITH_TIMEOUT(patch.successes, 1, 20000);
    QVERIFY(patch.text.contains(QStringLiteral("patch-body")));
    QTRY_COMPARE_WITH_TIMEOUT(missing.failures, 1, 20000);
    QCOMPARE(missing.code, QNetworkReply::ContentNotFoundError);
    QVERIFY(!missing.text.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(late.text, QStringLiteral("中文测试"), 20000);
    roundTrip(); // nothing further arrives later
    for (const Calls* c : all)
        QCOMPARE(c->successes + c->failures, 1);
}

void TestHttpService::droppedAndMissingCallbacks()
{
    Calls calls;
    const int heads = m_raw.headsSeen();
    {
        TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
        svc.get(calls.onSuccess, calls.onFailure);
        QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads, 20000);
    }
    // A reset drops them too.
    TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
    svc.get(calls.onSuccess, calls.onFailure);
    QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads + 1, 20000);
    svc.reset();
    roundTrip();
    QCOMPARE(calls.successes + calls.failures, 0);

    // Without callbacks the refused requests end quietly and their replies are released.
    svc.setUrl(QStringLiteral("http://127.0.0.1:%1/").arg(tuktest::freeLoopbackPort()));
    svc.post(nullptr, nullptr);
    svc.get(nullptr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(svc.findChildren<QNetworkReply*>().size(), 0, 20000);
}

void TestHttpService::decodingFollowsTheConfiguredCodec()
{
    // The body is GBK; the response claims UTF-8. The configured codec decides.
    TUKHttpService svc(m_raw.url(QStringLiteral("/gbk")));
    NetworkError err;
    QCOMPARE(svc.setEncoding(QStringLiteral("GBK")).get(err), QStringLiteral("中文测试"));
    QCOMPARE(err, QNetworkReply::NoError);
    QVERIFY(svc.setEncoding(QStringLiteral("UTF-8")).get(err) != QStringLiteral("中文测试"));

    // An unknown codec name decodes as UTF-8.
    TUKHttpService utf8(m_raw.url(QStringLiteral("/utf8")));
    QCOMPARE(utf8.setEncoding(QStringLiteral("no-such-codec")).get(err),
             QStringLiteral("Grüße ∮ E⋅da"));
    QCOMPARE(err, QNetworkReply::NoError);
}

void TestHttpService::debugWritesOneLinePerRequest()
{
    tuktest::MessageLog log({QtDebugMsg});
    NetworkError err;
    TUKHttpService svc(m_raw.url(QStringLiteral("/dbg")));
    svc.addParam(QStringLiteral("k"), QStringLiteral("v")).setTimeout(20000);
    svc.get(err);
    QVERIFY(log.messages().isEmpty()); // off by default

    svc.setDebug(true);
    svc.get(err);
    svc.post(err);
    svc.get(nullptr, nullptr);

    const QStringList lines = log.messages();
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).contains(m_raw.url(QStringLiteral("/dbg?k=v"))), qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).contains(m_raw.url(QStringLiteral("/dbg"))) &&
                 !lines.at(1).contains(QLatin1Char('?')),
             qPrintable(lines.at(1)));
}

QTEST_GUILESS_MAIN(TestHttpService)
#include "tst_httpservice.moc"
