// TUKDownloadManager against nginx, httpbin and our raw server on loopback. The failure line is
// read back from the process's own standard error, redirected to a file around each download.
#include <TUKCloudUtils/TUKDownloadManager.h>

#include "download/TUKDownloadManager_p.h"

#include "HttpBinServer.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QtTest>

#include <cstdio>
#include <memory>
#include <unistd.h>

using tuktest::RawHttpServer;
using tuktest::RawRequest;

namespace {

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
    ~StderrCapture() { take(); }
    bool isValid() const { return m_saved >= 0; }
    QByteArray take()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
        return readFile(m_file.fileName());
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

// What Qt itself makes of a plain GET of the URL: the reference for body and error text.
struct Reference
{
    QByteArray body;
    QNetworkReply::NetworkError error;
    QString errorString;
};

Reference fetch(const QString& url)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(20000);
    return {reply->readAll(), reply->error(), reply->errorString()};
}

// A manager with its end signal recorded and its private record at hand.
struct Download
{
    TUKDownloadManager dm;
    QSignalSpy end{&dm, &TUKDownloadManager::sigDownloadEnd};
    TUKDownloadManagerPrivate* const d = TUKDownloadManagerPrivate::get(&dm);
};

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

    QTemporaryDir m_dir;
    tuktest::NginxServer m_nginx;
    tuktest::HttpBinServer m_httpbin;
    RawHttpServer m_raw;
    QByteArray m_big;

    QString target(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_nginx.start(), qPrintable(m_nginx.errorString()));
        QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
        m_raw.setHandler([](const RawRequest& r) {
            if (r.target == "/partial") // promises 100 bytes, sends 10, hangs up
                return tuktest::RawResponse{
                    "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"};
            if (r.target == "/hang")
                return RawHttpServer::neverAnswer();
            return RawHttpServer::reply(200, "ok");
        });
        QVERIFY(m_raw.start());

        m_big.resize(8 * 1024 * 1024 + 3);
        for (int i = 0; i < m_big.size(); ++i)
            m_big[i] = char(i ^ (i >> 11));
        QVERIFY(m_nginx.writeFile("ten.txt", "0123456789"));
        QVERIFY(m_nginx.writeFile("empty.txt", QByteArray()));
        QVERIFY(m_nginx.writeFile("big.bin", m_big));
    }

    void downloadOutcomes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("fails");              // 1 yes, 0 no, -1 Qt's verdict varies
        QTest::addColumn<QByteArray>("mustContain"); // a part of the expected body

        const QByteArray ten = "0123456789";
        QTest::newRow("body shorter than the old content") << m_nginx.url("/ten.txt") << 0 << ten;
        QTest::newRow("8 MiB body") << m_nginx.url("/big.bin") << 0 << QByteArray();
        QTest::newRow("empty file (nginx)") << m_nginx.url("/empty.txt") << 0 << QByteArray();
        QTest::newRow("zero bytes (httpbin)") << m_httpbin.url("/bytes/0") << 0 << QByteArray();
        QTest::newRow("404 error page (nginx)")
            << m_nginx.url("/missing.txt") << 1 << QByteArray("404 Not Found");
        QTest::newRow("418 error body (httpbin)")
            << m_httpbin.url("/status/418") << 1 << QByteArray("teapot");
        // Qt 5.15 usually reports "Connection closed" here, but when it sees the end of the
        // connection before the error it finishes the reply as a success: either way the 10 bytes
        // stay, and the failure line follows the reply's own verdict.
        QTest::newRow("connection cut short") << m_raw.url("/partial") << -1 << ten;
        QTest::newRow("connection refused")
            << QStringLiteral("http://127.0.0.1:%1/x").arg(tuktest::freeLoopbackPort()) << 1
            << QByteArray();
    }
    void downloadOutcomes()
    {
        QFETCH(QString, url);
        QFETCH(int, fails);
        QFETCH(QByteArray, mustContain);

        const Reference ref = fetch(url);
        if (fails >= 0)
            QCOMPARE(ref.error != QNetworkReply::NoError, fails == 1);
        QVERIFY(ref.body.contains(mustContain));

        const QString file = target("outcome.bin");
        QVERIFY(writeFile(file, QByteArray(20000, 'x')));
        Download t;
        // The reply's own verdict, read while the signal is emitted (the reply is released after).
        QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
        QString errorString;
        connect(&t.dm, &TUKDownloadManager::sigDownloadEnd, this, [&] {
            error = t.d->reply->error();
            errorString = t.d->reply->errorString();
        });
        StderrCapture err;
        QVERIFY(err.isValid());

        t.dm.downloadFile(url, file);
        QCOMPARE(QFileInfo(file).size(), 0); // truncated before anything has been fetched
        QVERIFY(t.end.wait(20000));
        drainEvents();
        const QByteArray printed = err.take();

        QCOMPARE(t.end.count(), 1);
        QVERIFY(!t.d->file.isOpen());
        QCOMPARE(readFile(file), ref.body);
        if (fails >= 0) {
            QCOMPARE(error != QNetworkReply::NoError, fails == 1);
            QCOMPARE(errorString, ref.errorString);
        }
        QCOMPARE(printed, error != QNetworkReply::NoError
                              ? "Failed: " + errorString.toLocal8Bit() + "\n"
                              : QByteArray());
    }

    void noRequestBeforeTheEventLoopRuns()
    {
        const int before = m_raw.requestCount();
        const QString file = target("late.txt");
        Download t;
        t.dm.downloadFile(m_raw.url("/late"), file);
        // No reply exists yet, so nothing can be on the wire ...
        QVERIFY(t.d->reply == nullptr);
        QVERIFY(t.d->manager.findChildren<QNetworkReply*>().isEmpty());
        // ... and a full round trip of our own, made without the event loop, is the only thing
        // the server has seen in the meantime.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_raw.port());
        QVERIFY(probe.waitForConnected(20000));
        probe.write("GET /probe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        while (probe.state() == QAbstractSocket::ConnectedState && probe.waitForReadyRead(20000)) {
        }
        QCOMPARE(m_raw.requestCount(), before + 1);
        QCOMPARE(m_raw.requests().constLast().target, QByteArray("/probe"));

        QVERIFY(t.end.wait(20000));
        QCOMPARE(m_raw.requestCount(), before + 2);
        QCOMPARE(m_raw.requests().constLast().method, QByteArray("GET"));
        QCOMPARE(m_raw.requests().constLast().target, QByteArray("/late"));
        QCOMPARE(readFile(file), QByteArray("ok"));
    }

    void nothingStarts_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("leftOpen"); // the file is created (truncated) and stays open

        const QString invalid = target("invalid.txt");
        QTest::newRow("target cannot be opened")
            << m_nginx.url("/ten.txt") << target("no/such/folder/file.txt") << false;
        QTest::newRow("empty URL") << QString() << invalid << true;
        QTest::newRow("port out of range") << "http://127.0.0.1:70000/x" << invalid << true;
        QTest::newRow("unclosed IPv6 host") << "http://[::1/x" << invalid << true;
    }
    void nothingStarts()
    {
        QFETCH(QString, url);
        QFETCH(QString, file);
        QFETCH(bool, leftOpen);
        if (leftOpen) {
            QVERIFY(!QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode).isValid());
            QVERIFY(writeFile(file, "old content"));
        }
        const QString good = target("after-nothing.txt");
        Download t;
        StderrCapture err;

        t.dm.downloadFile(url, file);
        QCOMPARE(QFileInfo::exists(file), leftOpen);
        QCOMPARE(t.d->file.isOpen(), leftOpen);
        if (leftOpen)
            QCOMPARE(QFileInfo(file).size(), 0);
        QVERIFY(!t.d->busy);

        // Nothing was scheduled: the next call (which closes a file left open) is the only one
        // that ends with the signal.
        t.dm.downloadFile(m_nginx.url("/ten.txt"), good);
        QVERIFY(t.end.wait(20000));
        drainEvents();
        QCOMPARE(t.end.count(), 1);
        QCOMPARE(err.take(), QByteArray());
        QCOMPARE(readFile(good), QByteArray("0123456789"));
        QCOMPARE(QFileInfo::exists(file), leftOpen);
        if (leftOpen)
            QCOMPARE(readFile(file), QByteArray());
    }

    void callDuringTransferIsIgnoredThenReuse()
    {
        const QString first = target("first.bin"), second = target("second.txt");
        QVERIFY(writeFile(second, "keep me"));
        Download t;
        t.dm.downloadFile(m_nginx.url("/big.bin"), first);
        t.dm.downloadFile(m_nginx.url("/ten.txt"), second); // scheduled: ignored
        QVERIFY(t.end.wait(20000));
        drainEvents();
        QCOMPARE(t.end.count(), 1);
        QCOMPARE(readFile(first), m_big);
        QCOMPARE(readFile(second), QByteArray("keep me"));

        // Once the signal has come, the object takes the next download.
        t.dm.downloadFile(m_nginx.url("/ten.txt"), second);
        QVERIFY(t.end.wait(20000));
        QCOMPARE(t.end.count(), 2);
        QCOMPARE(readFile(second), QByteArray("0123456789"));
    }

    void destroyedDuringTransfer()
    {
        const QString file = target("aborted.txt");
        auto* dm = new TUKDownloadManager;
        QSignalSpy end(dm, &TUKDownloadManager::sigDownloadEnd);
        StderrCapture err;
        const int heads = m_raw.headsSeen();

        dm->downloadFile(m_raw.url("/hang"), file);
        QTRY_VERIFY_WITH_TIMEOUT(m_raw.headsSeen() > heads, 20000);
        delete dm;
        drainEvents();
        QCOMPARE(end.count(), 0);
        QCOMPARE(err.take(), QByteArray());
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(QFileInfo(file).size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
