// TUKDownloadManager against nginx, httpbin and our raw server on loopback. The failure line is
// read back from the process's own standard error, redirected to a file around each download.
#include <TUKCloudUtils/TUKDownloadManager.h>

#include "download/TUKDownloadManager_p.h"

#include "HttpBinServer.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QtTest>

#include <cstdio>
#include <unistd.h>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using tuktest::RawResponse;

namespace {

// Sends file descriptor 2 to a temporary file until take() (or destruction) puts it back.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        if (m_file.open()) {
            m_saved = ::dup(2);
            ::dup2(m_file.handle(), 2);
        }
    }
    ~StderrCapture() { restore(); }

    bool isValid() const { return m_saved >= 0; }

    QByteArray take()
    {
        restore();
        QFile f(m_file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

// What Qt itself makes of a plain GET of the URL: the reference for body and error text.
struct Reference
{
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
};

Reference fetch(const QString& url)
{
    QNetworkAccessManager manager;
    QNetworkReply* reply =
        manager.get(QNetworkRequest(QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(20000);
    Reference r;
    r.body = reply->readAll();
    r.error = reply->error();
    r.errorString = reply->errorString();
    delete reply;
    return r;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Lets deferred deletes and anything else already queued run.
void drainEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

class TestDownloadManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void downloadOutcomes_data();
    void downloadOutcomes();
    void noRequestBeforeTheEventLoopRuns();
    void nothingStarts_data();
    void nothingStarts();
    void callDuringTransferIsIgnoredThenReuse();
    void destroyedDuringTransfer();

private:
    QString target(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }

    QTemporaryDir m_dir;
    tuktest::NginxServer m_nginx;
    tuktest::HttpBinServer m_httpbin;
    RawHttpServer m_raw;
    QByteArray m_big;
};

void TestDownloadManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_nginx.start(), qPrintable(m_nginx.errorString()));
    QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
    m_raw.setHandler([](const RawRequest& r) {
        if (r.target == "/partial") {
            // Promises 100 bytes, sends 10, hangs up.
            RawResponse cut;
            cut.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";
            return cut;
        }
        if (r.target == "/hang")
            return RawHttpServer::neverAnswer();
        return RawHttpServer::reply(200, "ok");
    });
    QVERIFY(m_raw.start());

    m_big.resize(8 * 1024 * 1024 + 3);
    for (int i = 0; i < m_big.size(); ++i)
        m_big[i] = char(i ^ (i >> 11));
    QVERIFY(m_nginx.writeFile(QStringLiteral("ten.txt"), "0123456789"));
    QVERIFY(m_nginx.writeFile(QStringLiteral("empty.txt"), QByteArray()));
    QVERIFY(m_nginx.writeFile(QStringLiteral("big.bin"), m_big));
}

void TestDownloadManager::downloadOutcomes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("fails");              // 1 yes, 0 no, -1 Qt's verdict varies
    QTest::addColumn<QByteArray>("mustContain"); // a part of the expected body

    QTest::newRow("body shorter than the old content")
        << m_nginx.url(QStringLiteral("/ten.txt")) << 0 << QByteArray("0123456789");
    QTest::newRow("8 MiB body") << m_nginx.url(QStringLiteral("/big.bin")) << 0 << QByteArray();
    QTest::newRow("empty file (nginx)")
        << m_nginx.url(QStringLiteral("/empty.txt")) << 0 << QByteArray();
    QTest::newRow("zero bytes (httpbin)")
        << m_httpbin.url(QStringLiteral("/bytes/0")) << 0 << QByteArray();
    QTest::newRow("404 error page (nginx)")
        << m_nginx.url(QStringLiteral("/missing.txt")) << 1 << QByteArray("404 Not Found");
    QTest::newRow("418 error body (httpbin)")
        << m_httpbin.url(QStringLiteral("/status/418")) << 1 << QByteArray("teapot");
    // Qt 5.15 usually reports "Connection closed" here, but when it sees the end of the connection
    // before the error it finishes the reply as a success: either way the 10 bytes stay, and the
    // failure line follows the reply's own verdict.
    QTest::newRow("connection cut short")
        << m_raw.url(QStringLiteral("/partial")) << -1 << QByteArray("0123456789");
    QTest::newRow("connection refused")
        << QStringLiteral("http://127.0.0.1:%1/x").arg(tuktest::freeLoopbackPort()) << 1
        << QByteArray();
}

void TestDownloadManager::downloadOutcomes()
{
    QFETCH(QString, url);
    QFETCH(int, fails);
    QFETCH(QByteArray, mustContain);

    const Reference ref = fetch(url);
    if (fails >= 0)
        QCOMPARE(ref.error != QNetworkReply::NoError, fails == 1);
    QVERIFY(ref.body.contains(mustContain));

    const QString file = target(QStringLiteral("outcome.bin"));
    QVERIFY(writeFile(file, QByteArray(20000, 'x')));
    TUKDownloadManager dm;
    QSignalSpy end(&dm, &TUKDownloadManager::sigDownloadEnd);
    // The reply's own verdict, read while the signal is emitted (the reply is released after).
    TUKDownloadManagerPrivate* d = TUKDownloadManagerPrivate::get(&dm);
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    QString errorString;
    connect(&dm, &TUKDownloadManager::sigDownloadEnd, this, [&] {
        error = d->reply->error();
        errorString = d->reply->errorString();
    });
    StderrCapture err;
    QVERIFY(err.isValid());

    dm.downloadFile(url, file);
    // Truncated at once, before anything has been fetched.
    QCOMPARE(QFileInfo(file).size(), 0);
    QVERIFY(end.wait(20000));
    drainEvents();
    const QByteArray printed = err.take();

    QCOMPARE(end.count(), 1);
    QVERIFY(!d->file.isOpen());
    QCOMPARE(readFile(file), ref.body);
    if (!mustContain.isEmpty())
        QVERIFY(readFile(file).contains(mustContain));
    if (url.endsWith(QLatin1String("big.bin")))
        QCOMPARE(readFile(file), m_big);
    if (fails >= 0) {
        QCOMPARE(error != QNetworkReply::NoError, fails == 1);
        QCOMPARE(errorString, ref.errorString);
    }
    const QByteArray expectedLine = error != QNetworkReply::NoError
                                        ? "Failed: " + errorString.toLocal8Bit() + "\n"
                                        : QByteArray();
    QCOMPARE(printed, expectedLine);
}

void TestDownloadManager::noRequestBeforeTheEventLoopRuns()
{
    const int before = m_raw.requestCount();
    const QString file = target(QStringLiteral("late.txt"));
    TUKDownloadManager dm;
    QSignalSpy end(&dm, &TUKDownloadManager::sigDownloadEnd);
    TUKDownloadManagerPrivate* d = TUKDownloadManagerPrivate::get(&dm);

    dm.downloadFile(m_raw.url(QStringLiteral("/late")), file);
    // No reply exists yet, so nothing can be on the wire ...
    QVERIFY(d->reply == nullptr);
    QVERIFY(d->manager.findChildren<QNetworkReply*>().isEmpty());
    // ... and a full round trip of our own, made without the event loop, is the only thing the
    // server has seen in the meantime.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, m_raw.port());
    QVERIFY(probe.waitForConnected(20000));
    probe.write("GET /probe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    while (probe.state() == QAbstractSocket::ConnectedState && probe.waitForReadyRead(20000)) {
    }
    QCOMPARE(m_raw.requestCount(), before + 1);
    QCOMPARE(m_raw.requests().constLast().target, QByteArray("/probe"));

    QVERIFY(end.wait(20000));
    QCOMPARE(m_raw.requestCount(), before + 2);
    const RawRequest sent = m_raw.requests().constLast();
    QCOMPARE(sent.method, QByteArray("GET"));
    QCOMPARE(sent.target, QByteArray("/late"));
    QCOMPARE(readFile(file), QByteArray("ok"));
}

void TestDownloadManager::nothingStarts_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("leftOpen"); // the file is created (truncated) and stays open

    const QString ten = m_nginx.url(QStringLiteral("/ten.txt"));
    QTest::newRow("target cannot be opened")
        << ten << target(QStringLiteral("no/such/folder/file.txt")) << false;
    QTest::newRow("empty URL") << QString() << target(QStringLiteral("invalid.txt")) << true;
    QTest::newRow("port out of range") << QStringLiteral("http://127.0.0.1:70000/x")
                                       << target(QStringLiteral("invalid.txt")) << true;
    QTest::newRow("unclosed IPv6 host")
        << QStringLiteral("http://[::1/x") << target(QStringLiteral("invalid.txt")) << true;
}

void TestDownloadManager::nothingStarts()
{
    QFETCH(QString, url);
    QFETCH(QString, file);
    QFETCH(bool, leftOpen);
    if (leftOpen) {
        QVERIFY(!QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode).isValid());
        QVERIFY(writeFile(file, "old content"));
    }
    const QString good = target(QStringLiteral("after-nothing.txt"));
    TUKDownloadManager dm;
    TUKDownloadManagerPrivate* d = TUKDownloadManagerPrivate::get(&dm);
    QSignalSpy end(&dm, &TUKDownloadManager::sigDownloadEnd);
    StderrCapture err;

    dm.downloadFile(url, file);
    QCOMPARE(QFileInfo::exists(file), leftOpen);
    QCOMPARE(d->file.isOpen(), leftOpen);
    if (leftOpen)
        QCOMPARE(QFileInfo(file).size(), 0);
    QVERIFY(!d->busy);

    // Nothing was scheduled: the next call (which closes a file left open) is the only one that
    // ends with the signal.
    dm.downloadFile(m_nginx.url(QStringLiteral("/ten.txt")), good);
    QVERIFY(end.wait(20000));
    drainEvents();
    QCOMPARE(end.count(), 1);
    QCOMPARE(err.take(), QByteArray());
    QCOMPARE(readFile(good), QByteArray("0123456789"));
    QCOMPARE(QFileInfo::exists(file), leftOpen);
    if (leftOpen)
        QCOMPARE(readFile(file), QByteArray());
}

void TestDownloadManager::callDuringTransferIsIgnoredThenReuse()
{
    const QString first = target(QStringLiteral("first.bin"));
    const QString second = target(QStringLiteral("second.txt"));
    QVERIFY(writeFile(second, "keep me"));
    TUKDownloadManager dm;
    QSignalSpy end(&dm, &TUKDownloadManager::sigDownloadEnd);

    dm.downloadFile(m_nginx.url(QStringLiteral("/big.bin")), first);
    dm.downloadFile(m_nginx.url(QStringLiteral("/ten.txt")), second); // scheduled: ignored
    QVERIFY(end.wait(20000));
    drainEvents();
    QCOMPARE(end.count(), 1);
    QCOMPARE(readFile(first), m_big);
    QCOMPARE(readFile(second), QByteArray("keep me"));

    // Once the signal has come, the object takes the next download.
    dm.downloadFile(m_nginx.url(QStringLiteral("/ten.txt")), second);
    QVERIFY(end.wait(20000));
    QCOMPARE(end.count(), 2);
    QCOMPARE(readFile(second), QByteArray("0123456789"));
    QCOMPARE(readFile(first), m_big);
}

void TestDownloadManager::destroyedDuringTransfer()
{
    const QString file = target(QStringLiteral("aborted.txt"));
    auto* dm = new TUKDownloadManager;
    QSignalSpy end(dm, &TUKDownloadManager::sigDownloadEnd);
    StderrCapture err;
    const int heads = m_raw.headsSeen();

    dm->downloadFile(m_raw.url(QStringLiteral("/hang")), file);
    QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads, 20000);
    delete dm;
    drainEvents();
    QCOMPARE(end.count(), 0);
    QCOMPARE(err.take(), QByteArray());
    QVERIFY(QFileInfo::exists(file));
    QCOMPARE(QFileInfo(file).size(), 0);
}

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
