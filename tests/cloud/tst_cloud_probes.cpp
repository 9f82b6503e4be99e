// getRemoteFileSize() and isSupportResumeDownload() against nginx and our raw server, and the
// certificate verification that every helper of TUKCloudHttpUtils keeps on.

#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKHttpService.h>

#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using tuktest::RawResponse;
using Cookies = QMap<QString, QString>;

namespace {

constexpr qint64 kHugeSize = 5000000000LL; // beyond 32 bits
// A body that nginx sends at 256 KiB/s takes about 4 minutes: far longer than the probe may wait.
constexpr qint64 kSlowSize = 64LL * 1024 * 1024;

// Locations of the tests' own: 302s written by nginx with an absolute Location, a 404, and a
// throttled location without byte ranges.
const char* const kExtraConfig = R"(
        location = /moved-big { return 302 $scheme://$http_host/big.bin; }
        location = /moved-small { return 302 $scheme://$http_host/small.txt; }
        location = /moved-missing { return 302 $scheme://$http_host/missing.bin; }
        location /slow/ { max_ranges 0; limit_rate 256k; }
        location /slow-cr/ {
            max_ranges 0;
            limit_rate 256k;
            add_header Content-Range "bytes 0-1/67108864";
        }
)";

} // namespace

class TestCloudProbes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void remoteFileSize();
    void resumeSupport();
    void resumeProbeDoesNotReadTheWholeBody();
    void resumeProbeStatusRules_data();
    void resumeProbeStatusRules();
    void tlsCertificatesAreVerified();
    void trustedCertificateIsAccepted();

private:
    bool probeSlowly(const QString& path, bool* watchdogFired);

    tuktest::NginxServer m_nginx;
    RawHttpServer m_raw;
};

void TestCloudProbes::initTestCase()
{
    QVERIFY2(m_nginx.start(QString::fromLatin1(kExtraConfig)), qPrintable(m_nginx.errorString()));
    QVERIFY(m_nginx.makeSparseFile(QStringLiteral("big.bin"), kHugeSize));
    QVERIFY(m_nginx.writeFile(QStringLiteral("small.txt"), QByteArray(42, 'x')));
    QVERIFY(m_nginx.writeFile(QStringLiteral("empty.txt"), QByteArray()));
    QVERIFY(m_nginx.makeSparseFile(QStringLiteral("noranges/big.bin"), kHugeSize));
    QVERIFY(m_nginx.makeSparseFile(QStringLiteral("slow/file.bin"), kSlowSize));
    QVERIFY(m_nginx.makeSparseFile(QStringLiteral("slow-cr/file.bin"), kSlowSize));
    QVERIFY(m_raw.start());
}

void TestCloudProbes::remoteFileSize()
{
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/big.bin"))),
             kHugeSize);
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/moved-big"))),
             kHugeSize);
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/moved-small"))),
             qint64(42));
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/empty.txt"))),
             qint64(0));
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/missing.bin"))),
             qint64(0));
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_nginx.url(QStringLiteral("/moved-missing"))),
             qint64(0));

    // Statuses other than 200 give 0 even with a Content-Length; the request is a HEAD carrying
    // the library's User-Agent and no cookie.
    m_raw.setHandler([](const RawRequest& r) {
        RawResponse resp;
        const QByteArray status = r.target == "/partial" ? "206" : "204";
        resp.bytes = "HTTP/1.1 " + status + " X\r\nContent-Length: 99\r\nConnection: close\r\n\r\n";
        return resp;
    });
    const int before = m_raw.requestCount();
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_raw.url(QStringLiteral("/partial"))),
             qint64(0));
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(m_raw.url(QStringLiteral("/nocontent"))),
             qint64(0));
    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].method, QByteArray("HEAD"));
    QCOMPARE(requests[0].header("User-Agent"),
             QByteArray("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like Gecko) "
                        "Chrome/21.0.1180.89 Safari/537.1"));
    QCOMPARE(requests[0].headerCount("Cookie"), 0);
    QCOMPARE(requests[0].headerCount("Range"), 0);
}

void TestCloudProbes::resumeSupport()
{
    QVERIFY(TUKCloudHttpUtils::isSupportResumeDownload(m_nginx.url(QStringLiteral("/big.bin"))));
    QVERIFY(TUKCloudHttpUtils::isSupportResumeDownload(m_nginx.url(QStringLiteral("/moved-big"))));
    QVERIFY(
        !TUKCloudHttpUtils::isSupportResumeDownload(m_nginx.url(QStringLiteral("/missing.bin"))));

    // The request as sent.
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(206, "ab"); });
    const int before = m_raw.requestCount();
    QVERIFY(TUKCloudHttpUtils::isSupportResumeDownload(m_raw.url(QStringLiteral("/r"))));
    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, QByteArray("GET"));
    QCOMPARE(requests[0].header("Range"), QByteArray("bytes=0-1"));
    QCOMPARE(requests[0].header("User-Agent").size(), 106);
    QCOMPARE(requests[0].headerCount("Cookie"), 0);
}

bool TestCloudProbes::probeSlowly(const QString& path, bool* watchdogFired)
{
    // The body would need minutes: the probe must come back long before. If it waited for the
    // whole body, the watchdog stops nginx so that the test fails instead of hanging.
    *watchdogFired = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [&] {
        *watchdogFired = true;
        m_nginx.stop();
    });
    watchdog.start(60000);
    QElapsedTimer clock;
    clock.start();
    const bool resumable = TUKCloudHttpUtils::isSupportResumeDownload(m_nginx.url(path));
    qInfo("probe of %s returned after %lld ms", qPrintable(path), clock.elapsed());
    return resumable;
}

void TestCloudProbes::resumeProbeDoesNotReadTheWholeBody()
{
    // nginx ignores the range here and starts sending a 5 GB body.
    QVERIFY(!TUKCloudHttpUtils::isSupportResumeDownload(
        m_nginx.url(QStringLiteral("/noranges/big.bin"))));

    // Throttled bodies of 64 MiB at 256 KiB/s, without and with a Content-Range header.
    bool watchdogFired = false;
    QVERIFY(!probeSlowly(QStringLiteral("/slow/file.bin"), &watchdogFired));
    QVERIFY2(!watchdogFired, "the probe waited for the whole body");
    QVERIFY(probeSlowly(QStringLiteral("/slow-cr/file.bin"), &watchdogFired));
    QVERIFY2(!watchdogFired, "the probe waited for the whole body");
}

void TestCloudProbes::resumeProbeStatusRules_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("expected");
    QTest::newRow("200 without Content-Range") << QByteArray("HTTP/1.1 200 OK\r\n") << false;
    QTest::newRow("200 with Content-Range")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Range: bytes 0-1/1000\r\n") << true;
    QTest::newRow("200 with content-range in lower case")
        << QByteArray("HTTP/1.1 200 OK\r\ncontent-range: bytes 0-1/1000\r\n") << true;
    QTest::newRow("206 without Content-Range") << QByteArray("HTTP/1.1 206 Partial\r\n") << true;
    QTest::newRow("204 with Content-Range")
        << QByteArray("HTTP/1.1 204 Empty\r\nContent-Range: bytes 0-1/1000\r\n") << true;
    // An error answer without body data is reported as an error before the probe can judge it.
    // (With body data arriving 100 ms or more after the request, the progress report that comes
    // with the data could end the wait first; that race is avoided here.)
    QTest::newRow("416 with Content-Range, complete")
        << QByteArray("HTTP/1.1 416 Nope\r\nContent-Range: bytes */1000\r\n") << false;
    QTest::newRow("500") << QByteArray("HTTP/1.1 500 Oops\r\n") << false;
}

void TestCloudProbes::resumeProbeStatusRules()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, expected);
    m_raw.setHandler([head](const RawRequest& r) {
        RawResponse resp;
        const bool noBody = head.contains(" 204 ") || head.contains(" 416 ") || r.method != "GET";
        const QByteArray body = noBody ? "" : "ab";
        resp.bytes = head + "Content-Length: " + QByteArray::number(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body;
        return resp;
    });
    QCOMPARE(TUKCloudHttpUtils::isSupportResumeDownload(m_raw.url(QStringLiteral("/f"))), expected);
}

void TestCloudProbes::tlsCertificatesAreVerified()
{
    // nginx's TLS port uses a self-signed certificate that Qt does not trust.
    const QString https = m_nginx.httpsUrl(QStringLiteral("/small.txt"));
    const QString plain = m_nginx.url(QStringLiteral("/small.txt"));
    Cookies in, out;
    QCOMPARE(TUKCloudHttpUtils::get(plain, in, out), QString(42, QLatin1Char('x')));
    QCOMPARE(TUKCloudHttpUtils::get(https, in, out), QString());
    QCOMPARE(TUKCloudHttpUtils::post(https, QByteArray("a"), QString(), in, out), QString());
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(plain), qint64(42));
    QCOMPARE(TUKCloudHttpUtils::getRemoteFileSize(https), qint64(0));
    QVERIFY(TUKCloudHttpUtils::isSupportResumeDownload(plain));
    QVERIFY(!TUKCloudHttpUtils::isSupportResumeDownload(https));

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f.txt"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("data") == 4);
    f.close();
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(https, QStringLiteral("t"), file, QString()),
             QString());

    // TUKHttpService does not verify, so the same URL works there.
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    QCOMPARE(TUKHttpService(https).get(error), QString(42, QLatin1Char('x')));
    QCOMPARE(error, QNetworkReply::NoError);
}

void TestCloudProbes::trustedCertificateIsAccepted()
{
    // Once the certificate is trusted through Qt's default configuration, the same calls work:
    // the failure above is certificate verification and nothing else.
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(m_nginx.certificatePath());
    QCOMPARE(certs.size(), 1);
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.setCaCertificates(saved.caCertificates() + certs);
    QSslConfiguration::setDefaultConfiguration(trusting);

    const QString https = m_nginx.httpsUrl(QStringLiteral("/small.txt"));
    Cookies in, out;
    const QString text = TUKCloudHttpUtils::get(https, in, out);
    const qint64 size = TUKCloudHttpUtils::getRemoteFileSize(https);
    const bool resumable = TUKCloudHttpUtils::isSupportResumeDownload(https);
    QSslConfiguration::setDefaultConfiguration(saved);

    QCOMPARE(text, QString(42, QLatin1Char('x')));
    QCOMPARE(size, qint64(42));
    QVERIFY(resumable);
}

QTEST_GUILESS_MAIN(TestCloudProbes)
#include "tst_cloud_probes.moc"
