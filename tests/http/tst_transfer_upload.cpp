// Raw-body uploads of TUKHttpService (upload, uploadAppData) against our raw server and nginx on
// loopback.
#include <TUKCloudUtils/TUKHttpService.h>

#include "MessageLog.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using tuktest::RawResponse;
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

// Everything one upload reported, in order.
struct Record
{
    QStringList events; // "progress", "success", "finished", "error"
    QString text;
    NetworkError error = QNetworkReply::NoError;
    QString errorText;
    QList<QPair<qint64, qint64>> progress;
    bool cancelAtFirstProgress = false;

    int count(const QString& e) const { return events.count(e); }

    std::function<void(QString)> onSuccess()
    {
        return [this](QString body) {
            events << QStringLiteral("success");
            text = body;
        };
    }
    std::function<void()> onFinished()
    {
        return [this] {
            events << QStringLiteral("finished");
        };
    }
    std::function<void(qint64, qint64, bool&)> onProgress()
    {
        return [this](qint64 sent, qint64 total, bool& cancel) {
            events << QStringLiteral("progress");
            progress.append({sent, total});
            cancel = cancelAtFirstProgress;
        };
    }
    std::function<void(NetworkError, QString)> onError()
    {
        return [this](NetworkError e, QString t) {
            events << QStringLiteral("error");
            error = e;
            errorText = t;
        };
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
    void pipeIsSentWhole();
    void uploadLeavesNothingBehind();
    void zeroByteCutsTheReplyText();
    void failuresReportOnce_data();
    void failuresReportOnce();
    void unreadableFileSendsNothing_data();
    void unreadableFileSendsNothing();
    void cancelAtFirstProgressThenRemoveTheFile();
    void httpsAlwaysUsesTls12();

private:
    QString writeFile(const QString& name, const QByteArray& content)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            return QString();
        return path;
    }
    // A complete upload through the event loop: whatever was queued before it has run.
    void roundTrip()
    {
        Record r;
        TUKHttpService(m_raw.url(QStringLiteral("/echo")))
            .setTimeout(20000)
            .uploadAppData("ping", r.onSuccess(), r.onFinished(), r.onError());
        QCOMPARE(r.events, QStringList({QStringLiteral("success"), QStringLiteral("finished")}));
    }

    QTemporaryDir m_dir;
    RawHttpServer m_raw;
};

void TestTransferUpload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_raw.setBodyCaptureLimit(16 * 1024 * 1024);
    m_raw.setHandler([](const RawRequest& r) -> RawResponse {
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
    QTest::addColumn<bool>("fromFile");
    QTest::addColumn<QByteArray>("content");
    const QByteArray big = pattern(3 * 1024 * 1024 + 7);
    QTest::newRow("file") << true << big;
    QTest::newRow("empty file") << true << QByteArray();
    QTest::newRow("bytes") << false << big;
    QTest::newRow("empty bytes") << false << QByteArray();
}

// The body is the bytes themselves, with the tab-prefixed content type and nothing of the
// builder's parameters or headers.
void TestTransferUpload::bodyOnTheWire()
{
    QFETCH(bool, fromFile);
    QFETCH(QByteArray, content);
    TUKHttpService service(m_raw.url(QStringLiteral("/echo")));
    service.setTimeout(20000)
        .addParam(QStringLiteral("a"), QStringLiteral("1"))
        .addHeader(QStringLiteral("X-Extra"), QStringLiteral("yes"))
        .setBody(QStringLiteral("not sent"));
    const int before = m_raw.requestCount();
    Record r;
    if (fromFile) {
        const QString path = writeFile(QStringLiteral("body.bin"), content);
        QVERIFY(!path.isEmpty());
        service.upload(path, r.onSuccess(), r.onFinished(), r.onProgress(), r.onError());
    } else {
        service.uploadAppData(content, r.onSuccess(), r.onFinished(), r.onError());
    }
    QCOMPARE(r.count(QStringLiteral("error")), 0);
    QCOMPARE(r.text, QStringLiteral("got %1").arg(content.size()));
    QStringList tail = r.events;
    tail.removeAll(QStringLiteral("progress"));
    QCOMPARE(tail, QStringList({QStringLiteral("success"), QStringLiteral("finished")}));
    QCOMPARE(r.events.constLast(), QStringLiteral("finished")); // no progress after the end
    if (fromFile && !content.isEmpty()) // (Qt adds a closing 0 of 0 report of its own)
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
    QCOMPARE(req.bodySize, qint64(content.size()));
    QVERIFY(req.body == content);
}

// A file that is not seekable (here a named pipe) is read to its end before it is sent.
void TestTransferUpload::pipeIsSentWhole()
{
#ifdef Q_OS_UNIX
    const QString fifo = m_dir.filePath(QStringLiteral("pipe"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray content = pattern(300 * 1000);
    std::thread writer([&] {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        qint64 done = 0;
        while (fd >= 0 && done < content.size()) {
            const ssize_t n =
                ::write(fd, content.constData() + done, size_t(content.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        if (fd >= 0)
            ::close(fd);
    });
    Record r;
    TUKHttpService(m_raw.url(QStringLiteral("/echo")))
        .setTimeout(20000)
        .upload(fifo, r.onSuccess(), r.onFinished(), r.onProgress(), r.onError());
    writer.join();
    QCOMPARE(r.text, QStringLiteral("got %1").arg(content.size()));
    QVERIFY(m_raw.requests().constLast().body == content);
#else
    QSKIP("named pipes are a Unix matter");
#endif
}

// The uploads work on a copy of the request: the next get() of the object is untouched.
void TestTransferUpload::uploadLeavesNothingBehind()
{
    TUKHttpService service(m_raw.url(QStringLiteral("/echo")));
    service.setTimeout(20000);
    Record r;
    service.uploadAppData("x", r.onSuccess(), r.onFinished(), r.onError());
    QCOMPARE(r.count(QStringLiteral("success")), 1);
    NetworkError err;
    QCOMPARE(service.get(err), QStringLiteral("got 0"));
    QCOMPARE(err, QNetworkReply::NoError);
    const RawRequest req = m_raw.requests().constLast();
    QCOMPARE(req.method, QByteArray("GET"));
    QCOMPARE(req.headerCount("Content-Type"), 0);
}

void TestTransferUpload::zeroByteCutsTheReplyText()
{
    Record r;
    TUKHttpService(m_raw.url(QStringLiteral("/zero")))
        .setTimeout(20000)
        .uploadAppData("x", r.onSuccess(), r.onFinished(), r.onError());
    QCOMPARE(r.events, QStringList({QStringLiteral("success"), QStringLiteral("finished")}));
    QCOMPARE(r.text, QStringLiteral("abc"));
}

void TestTransferUpload::failuresReportOnce_data()
{
    QTest::addColumn<bool>("fromFile");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("expected");
    QTest::newRow("file, server error")
        << true << QStringLiteral("/fail") << 20000 << int(QNetworkReply::InternalServerError);
    QTest::newRow("bytes, server error")
        << false << QStringLiteral("/fail") << 20000 << int(QNetworkReply::InternalServerError);
    QTest::newRow("file, time limit")
        << true << QStringLiteral("/hang") << 700 << int(QNetworkReply::TimeoutError);
    QTest::newRow("bytes, time limit")
        << false << QStringLiteral("/hang") << 700 << int(QNetworkReply::TimeoutError);
}

void TestTransferUpload::failuresReportOnce()
{
    QFETCH(bool, fromFile);
    QFETCH(QString, path);
    QFETCH(int, timeout);
    QFETCH(int, expected);
    TUKHttpService service(m_raw.url(path));
    service.setTimeout(timeout);
    Record r;
    QElapsedTimer clock;
    clock.start();
    if (fromFile)
        service.upload(writeFile(QStringLiteral("small.bin"), "payload"), r.onSuccess(),
                       r.onFinished(), r.onProgress(), r.onError());
    else
        service.uploadAppData("payload", r.onSuccess(), r.onFinished(), r.onError());
    QCOMPARE(r.count(QStringLiteral("error")), 1);
    QCOMPARE(int(r.error), expected);
    QCOMPARE(r.count(QStringLiteral("success")) + r.count(QStringLiteral("finished")), 0);
    if (expected == QNetworkReply::TimeoutError)
        QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
    const QStringList events = r.events;
    roundTrip();
    QCOMPARE(r.events, events);
}

void TestTransferUpload::unreadableFileSendsNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing") << m_dir.filePath(QStringLiteral("no-such-file"));
    QTest::newRow("folder") << m_dir.path();
    QTest::newRow("empty name") << QString();
}

void TestTransferUpload::unreadableFileSendsNothing()
{
    QFETCH(QString, path);
    const int connections = m_raw.connectionCount();
    Record r;
    TUKHttpService(m_raw.url(QStringLiteral("/echo")))
        .setTimeout(20000)
        .upload(path, r.onSuccess(), r.onFinished(), r.onProgress(), r.onError());
    QVERIFY(r.events.isEmpty());
    roundTrip();
    QVERIFY(r.events.isEmpty());
    QCOMPARE(m_raw.connectionCount(), connections + 1); // the round trip's own, nothing else
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
    // Qt reports a read from a closed device as a warning.
    tuktest::MessageLog warnings({QtWarningMsg});
    const int headsBefore = m_raw.headsSeen();
    const int requestsBefore = m_raw.requestCount();

    // Whether a request for more data is already queued when the upload is abandoned is up to
    // the network thread: try a few times.
    const int attempts = 5;
    for (int i = 0; i < attempts; ++i) {
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
        }
        Record r;
        r.cancelAtFirstProgress = true;
        service.upload(path, r.onSuccess(), r.onFinished(), r.onProgress(), r.onError());
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
    service.uploadAppData("after", again.onSuccess(), again.onFinished(), again.onError());
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
    QVERIFY(nginx.writeFile(QStringLiteral("file.txt"), "content"));

    {
        bool failed = false;
        TUKHttpService(nginx.httpsUrl(QStringLiteral("/file.txt")))
            .setSslProtocol(QSsl::TlsV1_3)
            .setTimeout(20000)
            .downloadSync([](const QByteArray&, bool&) {}, nullptr, nullptr,
                          [&](NetworkError, const QString&) { failed = true; });
        QVERIFY2(failed, "the server must refuse TLS 1.3 for this test to mean anything");
    }

    const QString url = nginx.httpsUrl(QStringLiteral("/sink"))
                            .replace(QStringLiteral("https://"), QStringLiteral("HTTPS://"));
    TUKHttpService service(url);
    service.setSslProtocol(QSsl::TlsV1_3).setTimeout(20000);
    Record bytes;
    service.uploadAppData("x", bytes.onSuccess(), bytes.onFinished(), bytes.onError());
    QVERIFY2(bytes.errorText.isEmpty(), qPrintable(bytes.errorText));
    QCOMPARE(bytes.text, QStringLiteral("stored"));
    Record file;
    service.upload(writeFile(QStringLiteral("tls.bin"), "y"), file.onSuccess(), file.onFinished(),
                   file.onProgress(), file.onError());
    QVERIFY2(file.errorText.isEmpty(), qPrintable(file.errorText));
    QCOMPARE(file.text, QStringLiteral("stored"));
}

QTEST_GUILESS_MAIN(TestTransferUpload)
#include "tst_transfer_upload.moc"
