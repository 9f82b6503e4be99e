// Request building, dispatch and blocking/callback execution of TUKHttpService against real
// servers on loopback: our raw server where the exact bytes matter, httpbin and nginx otherwise.
#include <TUKCloudUtils/TUKHttpService.h>

#include "HttpBinServer.h"
#include "MessageLog.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QTextCodec>
#include <QtTest>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using tuktest::RawResponse;
using NetworkError = QNetworkReply::NetworkError;

namespace {

const QByteArray kFormType = "application/x-www-form-urlencoded";

} // namespace

class TestHttpService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void requestOnTheWire_data();
    void requestOnTheWire();
    void headersAndParamsAccumulate();
    void reusedObjectSendsTheSameRequest();
    void resetKeepsOnlyTheUrl();

    void httpsSkipsCertificateVerification_data();
    void httpsSkipsCertificateVerification();
    void blockingOutcomes();
    void timeLimit();
    void noTimeLimitWaitsForTheReply();

    void callbackVerbs();
    void callbackWithoutCallbacksIsSafe();
    void destroyingTheServiceDropsRunningCallbacks();

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
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("params"); // key, value, key, value...
    QTest::addColumn<QString>("contentTypeHeader");
    QTest::addColumn<QByteArray>("wantMethod");
    QTest::addColumn<QByteArray>("wantTarget");
    QTest::addColumn<QByteArray>("wantBody");
    QTest::addColumn<QByteArray>("wantContentType");

    const QStringList ab{"a", "1", "b", "x y"};
    QTest::newRow("get: params in query")
        << int(TUKHttpService::Get) << "/p"
        << "" << ab << "" << QByteArray("GET") << QByteArray("/p?a=1&b=x%20y") << QByteArray()
        << QByteArray();
    QTest::newRow("get: second question mark")
        << int(TUKHttpService::Get) << "/p?x=1"
        << "" << QStringList{"a", "1"} << "" << QByteArray("GET") << QByteArray("/p?x=1?a=1")
        << QByteArray() << QByteArray();
    QTest::newRow("get: body never sent") << int(TUKHttpService::Get) << "/p"
                                          << "ignored" << QStringList() << "" << QByteArray("GET")
                                          << QByteArray("/p") << QByteArray() << QByteArray();
    QTest::newRow("head: params in query")
        << int(TUKHttpService::Head) << "/p"
        << "" << ab << "" << QByteArray("HEAD") << QByteArray("/p?a=1&b=x%20y") << QByteArray()
        << QByteArray();
    QTest::newRow("post: params as form body")
        << int(TUKHttpService::Post) << "/p"
        << "" << ab << "" << QByteArray("POST") << QByteArray("/p") << QByteArray("a=1&b=x%20y")
        << kFormType;
    QTest::newRow("post: body wins over params")
        << int(TUKHttpService::Post) << "/p"
        << "raw body é" << ab << "" << QByteArray("POST") << QByteArray("/p")
        << QString("raw body é").toUtf8() << kFormType;
    QTest::newRow("post: nothing to send") << int(TUKHttpService::Post) << "/p"
                                           << "" << QStringList() << "" << QByteArray("POST")
                                           << QByteArray("/p") << QByteArray() << kFormType;
    QTest::newRow("post: content-type header replaces form type")
        << int(TUKHttpService::Post) << "/p"
        << "{\"k\":1}" << QStringList() << "application/json" << QByteArray("POST")
        << QByteArray("/p") << QByteArray("{\"k\":1}") << QByteArray("application/json");
    QTest::newRow("put: params as form body")
        << int(TUKHttpService::Put) << "/p"
        << "" << ab << "" << QByteArray("PUT") << QByteArray("/p") << QByteArray("a=1&b=x%20y")
        << kFormType;
    QTest::newRow("delete: params go nowhere, form type set")
        << int(TUKHttpService::Delete) << "/p"
        << "body" << ab << "" << QByteArray("DELETE") << QByteArray("/p") << QByteArray()
        << kFormType;
    QTest::newRow("patch: empty body, params in query")
        << int(TUKHttpService::Patch) << "/p"
        << "" << ab << "" << QByteArray("PATCH") << QByteArray("/p?a=1&b=x%20y") << QByteArray()
        << QByteArray();
    QTest::newRow("patch: body sent") << int(TUKHttpService::Patch) << "/p"
                                      << "patched" << QStringList() << "" << QByteArray("PATCH")
                                      << QByteArray("/p") << QByteArray("patched") << QByteArray();
}

void TestHttpService::requestOnTheWire()
{
    QFETCH(int, method);
    QFETCH(QString, path);
    QFETCH(QString, body);
    QFETCH(QStringList, params);
    QFETCH(QString, contentTypeHeader);
    QFETCH(QByteArray, wantMethod);
    QFETCH(QByteArray, wantTarget);
    QFETCH(QByteArray, wantBody);
    QFETCH(QByteArray, wantContentType);

    TUKHttpService svc(m_raw.url(path));
    svc.setBody(body).setTimeout(20000);
    for (int i = 0; i + 1 < params.size(); i += 2)
        svc.addParam(params.at(i), params.at(i + 1));
    if (!contentTypeHeader.isEmpty())
        svc.addHeader(QStringLiteral("Content-Type"), contentTypeHeader);

    const int before = m_raw.requestCount();
    NetworkError err = QNetworkReply::UnknownNetworkError;
    QString result;
    switch (TUKHttpService::HttpMethod(method)) {
    case TUKHttpService::Get:
        result = svc.get(err);
        break;
    case TUKHttpService::Post:
        result = svc.post(err);
        break;
    case TUKHttpService::Put:
        result = svc.put(err);
        break;
    case TUKHttpService::Patch:
        result = svc.patch(err);
        break;
    case TUKHttpService::Head:
        result = svc.head(err);
        break;
    case TUKHttpService::Delete:
        result = svc.deleteResource(err);
        break;
    }
    QCOMPARE(err, QNetworkReply::NoError);
    QCOMPARE(result, method == TUKHttpService::Head ? QString() : QStringLiteral("raw-ok"));
    QCOMPARE(m_raw.requestCount(), before + 1);

    const RawRequest r = lastRequest();
    QCOMPARE(r.method, wantMethod);
    QCOMPARE(r.target, wantTarget);
    QCOMPARE(r.body, wantBody);
    QCOMPARE(r.header("Content-Type"), wantContentType);
    QVERIFY(r.headerCount("Content-Type") <= 1);
}

void TestHttpService::headersAndParamsAccumulate()
{
    TUKHttpService svc(m_raw.url(QStringLiteral("/acc")));
    // Every setter returns the object itself, so calls chain.
    QCOMPARE(&svc.addHeader(QStringLiteral("X-One"), QStringLiteral("1")), &svc);
    QCOMPARE(&svc.addHeader(QStringLiteral("X-One"), QStringLiteral("2")), &svc);
    QCOMPARE(&svc.addParam(QStringLiteral("a"), QStringLiteral("1")), &svc);
    QCOMPARE(&svc.addParam(QStringLiteral("a"), QStringLiteral("2")), &svc);
    QCOMPARE(&svc.setUrl(m_raw.url(QStringLiteral("/acc")))
                  .setBody(QString())
                  .setEncoding(QStringLiteral("UTF-8")),
             &svc);
    QCOMPARE(&svc.setTimeout(20000)
                  .setDebug(false)
                  .setExecFlag(QEventLoop::AllEvents)
                  .setSslProtocol(QSsl::TlsV1_2),
             &svc);

    NetworkError err;
    svc.get(err);
    QCOMPARE(err, QNetworkReply::NoError);
    RawRequest r = lastRequest();
    QCOMPARE(r.target, QByteArray("/acc?a=1&a=2"));
    QCOMPARE(r.headerCount("X-One"), 1);
    QCOMPARE(r.header("X-One"), QByteArray("2"));

    QCOMPARE(&svc.clearHeader().clearParam(), &svc);
    svc.get(err);
    r = lastRequest();
    QCOMPARE(r.target, QByteArray("/acc"));
    QCOMPARE(r.headerCount("X-One"), 0);
}

// Each execution starts from the setter-controlled fields alone.
void TestHttpService::reusedObjectSendsTheSameRequest()
{
    TUKHttpService svc(m_raw.url(QStringLiteral("/again")));
    svc.addParam(QStringLiteral("q"), QStringLiteral("1")).setTimeout(20000);
    NetworkError err;
    svc.get(err);
    svc.get(err);
    QCOMPARE(err, QNetworkReply::NoError);
    QList<RawRequest> all = m_raw.requests();
    QCOMPARE(all.at(all.size() - 2).target, QByteArray("/again?q=1"));
    QCOMPARE(all.at(all.size() - 1).target, QByteArray("/again?q=1"));

    // A form request followed by a GET: the form content type is not carried over.
    svc.post(err);
    QCOMPARE(lastRequest().header("Content-Type"), kFormType);
    svc.get(err);
    QCOMPARE(lastRequest().header("Content-Type"), QByteArray());

    // A raw header removed between executions is gone from the next request.
    svc.addHeader(QStringLiteral("X-Tmp"), QStringLiteral("v"));
    svc.get(err);
    QCOMPARE(lastRequest().header("X-Tmp"), QByteArray("v"));
    svc.clearHeader();
    svc.get(err);
    QCOMPARE(lastRequest().headerCount("X-Tmp"), 0);

    // An https execution leaves no TLS setting behind for a later plain one on the same object.
    svc.setUrl(m_nginx.httpsUrl(QStringLiteral("/hello.txt"))).clearParam();
    QCOMPARE(svc.get(err), QStringLiteral("hello over tls"));
    QCOMPARE(err, QNetworkReply::NoError);
    svc.setUrl(m_raw.url(QStringLiteral("/plain")));
    QCOMPARE(svc.get(err), QStringLiteral("raw-ok"));
    QCOMPARE(err, QNetworkReply::NoError);
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

void TestHttpService::httpsSkipsCertificateVerification_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("lower case") << "https";
    QTest::newRow("capitals") << "HTTPS";
    QTest::newRow("mixed") << "HttpS";
}

void TestHttpService::httpsSkipsCertificateVerification()
{
    QFETCH(QString, scheme);
    QString url = m_nginx.httpsUrl(QStringLiteral("/hello.txt"));
    url.replace(0, 5, scheme);
    TUKHttpService svc(url);
    svc.setTimeout(20000);
    NetworkError err;
    QCOMPARE(svc.get(err), QStringLiteral("hello over tls"));
    QCOMPARE(err, QNetworkReply::NoError);
}

void TestHttpService::blockingOutcomes()
{
    NetworkError err = QNetworkReply::NoError;
    TUKHttpService notFound(m_httpbin.url(QStringLiteral("/status/404")));
    const QString text = notFound.setTimeout(20000).get(err);
    QCOMPARE(err, QNetworkReply::ContentNotFoundError);
    QVERIFY(text.isEmpty());
    QVERIFY(!text.isNull());

    // An error answer's body is not returned either.
    TUKHttpService teapot(m_httpbin.url(QStringLiteral("/status/418")));
    QCOMPARE(teapot.get(err), QString(""));
    QVERIFY(err != QNetworkReply::NoError);

    TUKHttpService refused(QStringLiteral("http://127.0.0.1:%1/").arg(tuktest::freeLoopbackPort()));
    QCOMPARE(refused.get(err), QString(""));
    QCOMPARE(err, QNetworkReply::ConnectionRefusedError);

    TUKHttpService head(m_httpbin.url(QStringLiteral("/get")));
    err = QNetworkReply::UnknownNetworkError;
    QCOMPARE(head.head(err), QString(""));
    QCOMPARE(err, QNetworkReply::NoError);

    // Real servers echo what we sent.
    TUKHttpService put(m_httpbin.url(QStringLiteral("/put")));
    const QString echoed = put.setBody(QStringLiteral("käse=1")).put(err);
    QCOMPARE(err, QNetworkReply::NoError);
    QVERIFY2(echoed.contains(QStringLiteral("k\\u00e4se")), qPrintable(echoed));
    TUKHttpService del(m_httpbin.url(QStringLiteral("/delete")));
    QVERIFY(del.deleteResource(err).contains(QStringLiteral("/delete")));
    QCOMPARE(err, QNetworkReply::NoError);
}

void TestHttpService::timeLimit()
{
    TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
    svc.setTimeout(1000);
    NetworkError err = QNetworkReply::NoError;
    QElapsedTimer clock;
    clock.start();
    const QString text = svc.get(err);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(err, QNetworkReply::TimeoutError);
    QVERIFY(text.isEmpty() && !text.isNull());
    QVERIFY2(elapsed >= 950, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));

    // The object stays usable after a time-out.
    svc.setUrl(m_raw.url(QStringLiteral("/after")));
    QCOMPARE(svc.setTimeout(20000).get(err), QStringLiteral("raw-ok"));
    QCOMPARE(err, QNetworkReply::NoError);
}

void TestHttpService::noTimeLimitWaitsForTheReply()
{
    for (int limit : {0, -5}) {
        NetworkError err = QNetworkReply::UnknownNetworkError;
        TUKHttpService slow(m_httpbin.url(QStringLiteral("/delay/2")));
        QVERIFY(slow.setTimeout(limit).get(err).contains(QStringLiteral("/delay/2")));
        QCOMPARE(err, QNetworkReply::NoError);

        // Without a limit the reply's own failure is what comes back.
        TUKHttpService gone(
            QStringLiteral("http://127.0.0.1:%1/").arg(tuktest::freeLoopbackPort()));
        gone.setTimeout(limit).get(err);
        QCOMPARE(err, QNetworkReply::ConnectionRefusedError);
    }
}

void TestHttpService::callbackVerbs()
{
    // Success: only the success callback, once, after the verb has returned.
    TUKHttpService svc(m_httpbin.url(QStringLiteral("/post")));
    svc.setBody(QStringLiteral("payload-123"));
    int successes = 0, failures = 0;
    QString received;
    svc.post([&](const QString& t) { ++successes, received = t; },
             [&](NetworkError, const QString&) { ++failures; });
    QCOMPARE(successes + failures, 0);
    QTRY_COMPARE_WITH_TIMEOUT(successes, 1, 20000);
    QVERIFY(received.contains(QStringLiteral("payload-123")));

    // Failure: the failure callback once with the code and text, the success callback never.
    TUKHttpService missing(m_httpbin.url(QStringLiteral("/status/404")));
    successes = failures = 0;
    NetworkError code = QNetworkReply::NoError;
    QString errorText;
    missing.get([&](const QString&) { ++successes; },
                [&](NetworkError c, const QString& t) { ++failures, code = c, errorText = t; });
    QCOMPARE(successes + failures, 0);
    QTRY_COMPARE_WITH_TIMEOUT(failures, 1, 20000);
    QCOMPARE(code, QNetworkReply::ContentNotFoundError);
    QVERIFY(!errorText.isEmpty());

    // PATCH with callbacks sends its body; httpbin echoes it.
    TUKHttpService patch(m_httpbin.url(QStringLiteral("/patch")));
    patch.setBody(QStringLiteral("patch-body"));
    successes = failures = 0;
    patch.patch([&](const QString& t) { ++successes, received = t; },
                [&](NetworkError, const QString&) { ++failures; });
    QTRY_COMPARE_WITH_TIMEOUT(successes, 1, 20000);
    QVERIFY(received.contains(QStringLiteral("patch-body")));

    // The encoding in force when the answer arrives decodes it.
    TUKHttpService late(m_raw.url(QStringLiteral("/gbk")));
    received.clear();
    late.get([&](const QString& t) { received = t; }, nullptr);
    late.setEncoding(QStringLiteral("GBK"));
    QTRY_COMPARE_WITH_TIMEOUT(received, QStringLiteral("中文测试"), 20000);

    // Nothing further arrives later.
    roundTrip();
    QCOMPARE(failures, 0);
    QCOMPARE(successes, 1);
}

void TestHttpService::callbackWithoutCallbacksIsSafe()
{
    TUKHttpService svc(QStringLiteral("http://127.0.0.1:%1/").arg(tuktest::freeLoopbackPort()));
    svc.post(nullptr, nullptr);
    svc.get(nullptr, nullptr);
    // The refused requests end while the loop turns; without callbacks nothing is called and the
    // failed replies are released.
    QTRY_COMPARE_WITH_TIMEOUT(svc.findChildren<QNetworkReply*>().size(), 0, 20000);
}

void TestHttpService::destroyingTheServiceDropsRunningCallbacks()
{
    int calls = 0;
    const int heads = m_raw.headsSeen();
    {
        TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
        svc.get([&](const QString&) { ++calls; }, [&](NetworkError, const QString&) { ++calls; });
        QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads, 20000);
    }
    // A reset drops them too.
    TUKHttpService svc(m_raw.url(QStringLiteral("/hang")));
    svc.get([&](const QString&) { ++calls; }, [&](NetworkError, const QString&) { ++calls; });
    QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads + 1, 20000);
    svc.reset();
    roundTrip();
    QCOMPARE(calls, 0);
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
