// getRemoteFileSize() and isSupportResumeDownload() against nginx and our raw server, and the
// certificate verification that every helper of TUKCloudHttpUtils keeps on.

#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QtTest>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using Cookies = QMap<QString, QString>;
using Http = TUKCloudHttpUtils;

namespace {

constexpr qint64 kHugeSize = 5000000000LL; // beyond 32 bits
// A body that nginx sends at 256 KiB/s takes about 4 minutes: far longer than the probe may wait.
constexpr qint64 kSlowSize = 64LL * 1024 * 1024;

// Locations of the tests' own: 302s written by nginx with an absolute Location, and throttled
// locations without byte ranges.
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

    tuktest::NginxServer m_nginx;
    RawHttpServer m_raw;

    // Answers with head and a Content-Length of body, which only a GET gets.
    void serve(const QByteArray& head, const QByteArray& body = "ab")
    {
        m_raw.setHandler([head, body](const RawRequest& r) {
            return tuktest::RawResponse{
                head + "Content-Length: " + QByteArray::number(body.size()) +
                "\r\nConnection: close\r\n\r\n" + (r.method == "GET" ? body : QByteArray())};
        });
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_nginx.start(kExtraConfig), qPrintable(m_nginx.errorString()));
        QVERIFY(m_nginx.makeSparseFile("big.bin", kHugeSize));
        QVERIFY(m_nginx.writeFile("small.txt", QByteArray(42, 'x')));
        QVERIFY(m_nginx.writeFile("empty.txt", QByteArray()));
        QVERIFY(m_nginx.makeSparseFile("noranges/big.bin", kHugeSize));
        QVERIFY(m_nginx.makeSparseFile("slow/file.bin", kSlowSize));
        QVERIFY(m_nginx.makeSparseFile("slow-cr/file.bin", kSlowSize));
        QVERIFY(m_raw.start());
    }

    void nginxFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("resumable"); // -1: not probed (nginx answers an error page)
        QTest::newRow("huge") << "/big.bin" << kHugeSize << 1;
        QTest::newRow("302 to huge") << "/moved-big" << kHugeSize << 1;
        QTest::newRow("302 to small") << "/moved-small" << qint64(42) << 1;
        QTest::newRow("empty") << "/empty.txt" << qint64(0) << -1;
        QTest::newRow("404") << "/missing.bin" << qint64(0) << 0;
        QTest::newRow("302 to 404") << "/moved-missing" << qint64(0) << 0;
    }
    void nginxFiles()
    {
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QFETCH(int, resumable);
        QCOMPARE(Http::getRemoteFileSize(m_nginx.url(path)), size);
        if (resumable >= 0)
            QCOMPARE(Http::isSupportResumeDownload(m_nginx.url(path)), resumable == 1);
    }

    void requestsAsSent()
    {
        // The size is a HEAD, and statuses other than 200 give 0 even with a Content-Length.
        int before = m_raw.requestCount();
        serve("HTTP/1.1 206 X\r\n", QByteArray(99, 'x'));
        QCOMPARE(Http::getRemoteFileSize(m_raw.url("/partial")), qint64(0));
        serve("HTTP/1.1 204 X\r\n", QByteArray(99, 'x'));
        QCOMPARE(Http::getRemoteFileSize(m_raw.url("/nocontent")), qint64(0));
        // The resume probe is a GET of the first two bytes.
        serve("HTTP/1.1 206 Partial\r\n");
        QVERIFY(Http::isSupportResumeDownload(m_raw.url("/r")));

        const QList<RawRequest> requests = m_raw.requests().mid(before);
        QCOMPARE(requests.size(), 3);
        for (const RawRequest& r : requests) {
            QCOMPARE(r.method, QByteArray(r.target == "/r" ? "GET" : "HEAD"));
            QCOMPARE(r.header("User-Agent"),
                     QByteArray("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, "
                                "like Gecko) Chrome/21.0.1180.89 Safari/537.1"));
            QCOMPARE(r.headerCount("Cookie"), 0);
            QCOMPARE(r.headerCount("Range"), r.target == "/r" ? 1 : 0);
            QCOMPARE(r.header("Range"), r.target == "/r" ? QByteArray("bytes=0-1") : QByteArray());
        }
    }

    void resumeProbeDoesNotReadTheWholeBody()
    {
        // nginx ignores the range here and starts sending a 5 GB body.
        QVERIFY(!Http::isSupportResumeDownload(m_nginx.url("/noranges/big.bin")));

        // Throttled bodies of 64 MiB, without and with a Content-Range header. Should the probe
        // wait for the whole body, the watchdog stops nginx so that the test fails, not hangs.
        bool watchdogFired = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, this, [&] {
            watchdogFired = true;
            m_nginx.stop();
        });
        for (const bool withRange : {false, true}) {
            const QString path = withRange ? "/slow-cr/file.bin" : "/slow/file.bin";
            watchdog.start(60000);
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(Http::isSupportResumeDownload(m_nginx.url(path)), withRange);
            qInfo("probe of %s returned after %lld ms", qPrintable(path), clock.elapsed());
            QVERIFY2(!watchdogFired, "the probe waited for the whole body");
        }
    }

    void resumeProbeStatusRules_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("expected");
        // Error answers come without body data: data arriving 100 ms or more after the request
        // could end the wait through its progress report before the error is seen.
        const QList<QPair<const char*, bool>> rows{
            {"200 OK\r\n", false},
            {"200 OK\r\nContent-Range: bytes 0-1/1000\r\n", true},
            {"200 OK\r\ncontent-range: bytes 0-1/1000\r\n", true},
            {"206 Partial\r\n", true},
            {"204 Empty\r\nContent-Range: bytes 0-1/1000\r\n", true},
            {"416 Nope\r\nContent-Range: bytes */1000\r\n", false},
            {"500 Oops\r\n", false}};
        for (const auto& [head, expected] : rows)
            QTest::newRow(QByteArray(head).simplified())
                << "HTTP/1.1 " + QByteArray(head) << expected;
    }
    void resumeProbeStatusRules()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, expected);
        const bool noBody = head.contains(" 204 ") || head.contains(" 416 ");
        serve(head, noBody ? QByteArray() : QByteArray("ab"));
        QCOMPARE(Http::isSupportResumeDownload(m_raw.url("/f")), expected);
    }

    void tlsCertificatesAreVerified()
    {
        // nginx's TLS port uses a self-signed certificate that Qt does not trust.
        const QString https = m_nginx.httpsUrl("/small.txt");
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("data") == 4);
        file.close();
        const auto calls = [&] {
            Cookies in, out;
            return QVariantList{
                Http::get(https, in, out), Http::post(https, QByteArray("a"), QString(), in, out),
                Http::getRemoteFileSize(https), Http::isSupportResumeDownload(https)};
        };
        QCOMPARE(calls(), (QVariantList{QString(), QString(), qint64(0), false}));
        QCOMPARE(Http::uploadFileToPYX(https, "t", file.fileName(), QString()), QString());

        // Once Qt's default configuration trusts the certificate, the same calls work: the failure
        // above is certificate verification and nothing else.
        const QList<QSslCertificate> certs = QSslCertificate::fromPath(m_nginx.certificatePath());
        QCOMPARE(certs.size(), 1);
        const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = saved;
        trusting.setCaCertificates(saved.caCertificates() + certs);
        QSslConfiguration::setDefaultConfiguration(trusting);
        const QVariantList trusted = calls();
        QSslConfiguration::setDefaultConfiguration(saved);
        // The post is answered 405 by nginx's static files, so it stays empty.
        QCOMPARE(trusted,
                 (QVariantList{QString(42, QLatin1Char('x')), QString(), qint64(42), true}));
    }
};

QTEST_GUILESS_MAIN(TestCloudProbes)
#include "tst_cloud_probes.moc"
