// Raw-body uploads of TUKHttpService (upload, uploadAppData) against our raw server and nginx on
// loopback.
#include <TUKCloudUtils/TUKHttpService.h>

#include "MessageLog.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include <sys/stat.h>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using NetworkError = QNetworkReply::NetworkError;

namespace {

const QByteArray kContentType = "\tapplication/octet-stream";

QByteArray pattern(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

const int Bytes = 0, File = 1, Pipe = 2; // where an upload's body comes from
const QStringList kDone{QStringLiteral("success"), QStringLiteral("finished")};

// Everything one upload reported, in order.
struct Record
{
    QStringList events; // "progress", "success", "finished", "error"
    QString text, errorText;
    NetworkError error = QNetworkReply::NoError;
    QList<QPair<qint64, qint64>> progress;
    bool cancelAtFirstProgress = false;

    int count(const QString& e) const { return events.count(e); }

    std::function<void(QString)> onSuccess = [this](QString body) {
        events << QStringLiteral("success"), text = body;
    };
    std::function<void()> onFinished = [this] {
        events << QStringLiteral("finished");
    };
    std::function<void(qint64, qint64, bool&)> onProgress = [this](qint64 sent, qint64 total,
                                                                   bool& cancel) {
        events << QStringLiteral("progress"), progress.append({sent, total});
        cancel = cancelAtFirstProgress;
    };
    std::function<void(NetworkError, QString)> onError = [this](NetworkError e, QString t) {
        events << QStringLiteral("error"), error = e, errorText = t;
    };

    // upload() of a file with that path, or uploadAppData() of the bytes.
    void send(TUKHttpService& service, bool fromFile, const QString& path, const QByteArray& bytes)
    {
        if (fromFile)
            service.upload(path, onSuccess, onFinished, onProgress, onError);
        else
            service.uploadAppData(bytes, onSuccess, onFinished, onError);
    }
};

} // namespace

class TestTransferUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void bodyOnTheWire_data();
    void bodyOnTheWire();
    void replyTextAndLaterRequests();
    void failuresReportOnce();
    void unreadableFileSendsNothing();
    void cancelAtFirstProgressThenRemoveTheFile();
    void httpsAlwaysUsesTls12();

private:
    QString writeFile(const QString& name, const QByteArray& content)
    {
        QFile f(m_dir.filePath(name));
        const bool ok = f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
        return ok ? f.fileName() : QString();
    }
    // A complete upload through the event loop: whatever was queued before it has run.
    void roundTrip()
    {
        Record r;
        TUKHttpService(m_raw.url(QStringLiteral("/echo")))
            .setTimeout(20000)
            .uploadAppData("ping", r.onSuccess, r.onFinished, r.onError);
        QCOMPARE(r.events, kDone);
    }

    QTemporaryDir m_dir;
    RawHttpServer m_raw;
};

void TestTransferUpload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_raw.setBodyCaptureLimit(16 * 1024 * 1024);
    m_raw.setHandler([](const RawRequest& r) {
        if (r.target == "/echo")
            return RawHttpServer::reply(200, "got " + QByteArray::number(r.bodySize));
        if (r.target == "/zero")
            return RawHttpServer::reply(200, QByteArray("abc\0def", 7));
        if (r.target == "/fail")
            return RawHttpServer::reply(500, "server trouble");
        if (r.target == "/hang")
            return RawHttpServer::neverAnswer();
        return RawHttpServer::reply(404, "no");
    });
    QVERIFY(m_raw.start());
}

void TestTransferUpload::bodyOnTheWire_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<QByteArray>("content");
    const QByteArray big = pattern(3 * 1024 * 1024 + 7);
    QTest::newRow("file") << int(File) << big;
    QTest::newRow("empty file") << int(File) << QByteArray();
    QTest::newRow("pipe") << int(Pipe) << big; // not seekable: read to its end before it is sent
    QTest::newRow("bytes") << int(Bytes) << big;
    QTest::newRow("empty bytes") << int(Bytes) << QByteArray();
}

// The body is the bytes themselves, with the tab-prefixed content type and nothing of the
// builder's parameters or headers.
void TestTransferUpload::bodyOnTheWire()
{
    QFETCH(int, source);
    QFETCH(QByteArray, content);
    TUKHttpService service(m_raw.url(QStringLiteral("/echo")));
    service.setTimeout(20000)
        .addParam(QStringLiteral("a"), QStringLiteral("1"))
        .addHeader(QStringLiteral("X-Extra"), QStringLiteral("yes"))
        .setBody(QStringLiteral("not sent"));
    const int before = m_raw.requestCount();
    Record r;
    QString path = writeFile(QStringLiteral("body.bin"), content);
    std::thread writer;
    if (source == Pipe) {
        path = m_dir.filePath(QStringLiteral("pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        writer = std::thread([&] {
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(content);
        });
    }
    r.send(service, source != Bytes, path, content);
    if (writer.joinable())
        writer.join();
    QCOMPARE(r.text, QStringLiteral("got %1").arg(content.size()));
    QCOMPARE(r.events.mid(r.count(QStringLiteral("progress"))), kDone); // no progress after the end
    if (source == File && !content.isEmpty()) // (Qt adds a closing 0 of 0 report of its own)
        QVERIFY(r.progress.contains(qMakePair(qint64(content.size()), qint64(content.size()))));

    QCOMPARE(m_raw.requestCount(), before + 1);
    const RawRequest req = m_raw.requests().constLast();
    QCOMPARE(req.method, QByteArray("POST"));
    QCOMPARE(req.target, QByteArray("/echo"));
    QCOMPARE(req.headerCount("Content-Type"), 1);
    QCOMPARE(req.header("Content-Type"), kContentType);
    QCOMPARE(req.header("Content-Length"), QByteArray::number(content.size()));
    QCOMPARE(req.headerCount("X-Extra"), 0);
    QCOMPARE(req.headerCount("Transfer-Encoding"), 0);
    QVERIFY(req.body == content);
}

// The reply text ends at a zero byte. The uploads work on a copy of the request: the next get()
// of the object is untouched.
void TestTransferUpload::replyTextAndLaterRequests()
{
    TUKHttpService service(m_raw.url(QStringLiteral("/zero")));
    service.setTimeout(20000);
    Record r;
    service.uploadAppData("x", r.onSuccess, r.onFinished, r.onError);
    QCOMPARE(r.events, kDone);
    QCOMPARE(r.text, QStringLiteral("abc"));
    NetworkError err;
    QCOMPARE(service.setUrl(m_raw.url(QStringLiteral("/echo"))).get(err), QStringLiteral("got 0"));
    QCOMPARE(err, QNetworkReply::NoError);
    const RawRequest req = m_raw.requests().constLast();
    QCOMPARE(req.method, QByteArray("GET"));
    QCOMPARE(req.headerCount("Content-Type"), 0);
}

// A server error and a time limit, for a file and for bytes.
void TestTransferUpload::failuresReportOnce()
{
    for (bool hang : {false, true}) {
        for (bool fromFile : {true, false}) {
            TUKHttpService service(
                m_raw.url(hang ? QStringLiteral("/hang") : QStringLiteral("/fail")));
            service.setTimeout(hang ? 700 : 20000);
            Record r;
            QElapsedTimer clock;
            clock.start();
            r.send(service, fromFile, writeFile(QStringLiteral("small.bin"), "payload"), "payload");
            QCOMPARE(r.events.mid(r.count(QStringLiteral("progress"))), QStringList{"error"});
            QCOMPARE(r.error,
                     hang ? QNetworkReply::TimeoutError : QNetworkReply::InternalServerError);
            if (hang)
                QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
            const QStringList events = r.events;
            roundTrip();
            QCOMPARE(r.events, events);
        }
    }
}

// A missing file, a folder and an empty name.
void TestTransferUpload::unreadableFileSendsNothing()
{
    for (const QString& path : {m_dir.filePath(QStringLiteral("none")), m_dir.path(), QString()}) {
        const int connections = m_raw.connectionCount();
        Record r;
        TUKHttpService(m_raw.url(QStringLiteral("/echo")))
            .setTimeout(20000)
            .upload(path, r.onSuccess, r.onFinished, r.onProgress, r.onError);
        QVERIFY(r.events.isEmpty());
        roundTrip();
        QVERIFY(r.events.isEmpty());
        QCOMPARE(m_raw.connectionCount(), connections + 1); // the round trip's own, nothing else
    }
}

// The abandoned reply must never touch the file once upload() has closed it: a read of the closed
// file shows as a Qt warning, a read after upload() returned (the file object is gone and the
// file removed) as an error in AddressSanitizer builds (TUK_SANITIZE=ON).
void TestTransferUpload::cancelAtFirstProgressThenRemoveTheFile()
{
    const qint64 size = qint64(256) << 20;
    const QString path = m_dir.filePath(QStringLiteral("large.bin"));
    TUKHttpService service(m_raw.url(QStringLiteral("/echo")));
    service.setTimeout(60000);
    tuktest::MessageLog warnings({QtWarningMsg});
    const int headsBefore = m_raw.headsSeen();
    const int requestsBefore = m_raw.requestCount();

    // Whether a request for more data is already queued when the upload is abandoned is up to
    // the network thread: try a few times.
    const int attempts = 5;
    for (int i = 0; i < attempts; ++i) {
        QVERIFY(QFile(path).open(QIODevice::WriteOnly) && QFile::resize(path, size));
        Record r;
        r.cancelAtFirstProgress = true;
        service.upload(path, r.onSuccess, r.onFinished, r.onProgress, r.onError);
        QCOMPARE(r.events, QStringList{QStringLiteral("progress")});
        QVERIFY(r.progress.constFirst().first < size);
        QVERIFY(QFile::remove(path));
        roundTrip();
        QCOMPARE(r.events, QStringList{QStringLiteral("progress")});
    }
    QVERIFY2(warnings.messages().isEmpty(),
             qPrintable(warnings.messages().join(QLatin1Char('\n'))));

    QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() >= headsBefore + 2 * attempts, 20000);
    // The round trips completed; no cancelled body ever did.
    QCOMPARE(m_raw.requestCount(), requestsBefore + attempts);
    for (const RawRequest& req : m_raw.requests())
        QVERIFY(req.bodySize < size);

    // The same object uploads normally afterwards.
    Record again;
    service.uploadAppData("after", again.onSuccess, again.onFinished, again.onError);
    QCOMPARE(again.text, QStringLiteral("got 5"));
}

// Uploads always use TLS 1.2 for https (any letter case), whatever setSslProtocol() says; nginx
// here speaks TLS 1.2 only, which a download with TLS 1.3 cannot reach.
void TestTransferUpload::httpsAlwaysUsesTls12()
{
    tuktest::NginxServer nginx;
    QVERIFY2(nginx.start(QStringLiteral("ssl_protocols TLSv1.2;\n"
                                        "location = /sink { return 200 \"stored\"; }\n")),
             qPrintable(nginx.errorString()));
    bool failed = false;
    TUKHttpService(nginx.httpsUrl(QStringLiteral("/sink")))
        .setSslProtocol(QSsl::TlsV1_3)
        .setTimeout(20000)
        .downloadSync([](const QByteArray&, bool&) {}, nullptr, nullptr,
                      [&](NetworkError, const QString&) { failed = true; });
    QVERIFY2(failed, "the server must refuse TLS 1.3 for this test to mean anything");

    const QString url = nginx.httpsUrl(QStringLiteral("/sink"))
                            .replace(QStringLiteral("https://"), QStringLiteral("HTTPS://"));
    TUKHttpService service(url);
    service.setSslProtocol(QSsl::TlsV1_3).setTimeout(20000);
    for (bool fromFile : {false, true}) {
        Record r;
        r.send(service, fromFile, writeFile(QStringLiteral("tls.bin"), "y"), "x");
        QVERIFY2(r.errorText.isEmpty(), qPrintable(r.errorText));
        QCOMPARE(r.text, QStringLiteral("stored"));
    }
}

QTEST_GUILESS_MAIN(TestTransferUpload)
#include "tst_transfer_upload.moc"
