// Streaming downloads of TUKHttpService (downloadSync, downloadAsync) against nginx, httpbin and
// our raw server on loopback.
#include <TUKCloudUtils/TUKHttpService.h>

#include "HttpBinServer.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <memory>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using NetworkError = QNetworkReply::NetworkError;

namespace {

QByteArray pattern(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(x);
    }
    return b;
}

// Everything one transfer reported.
struct Record
{
    QByteArray body;
    int pieces = 0;
    int finished = 0;
    int errors = 0;
    NetworkError lastError = QNetworkReply::NoError;
    QString errorText;
    QList<QPair<qint64, qint64>> progress;
    int statusCode = 0;
    QByteArray contentLength;

    int outcomes() const { return finished + errors; }

    std::function<void(const QByteArray&, bool&)> data(int stopAtPiece = 0)
    {
        return [this, stopAtPiece](const QByteArray& chunk, bool& stop) {
            body += chunk;
            stop = ++pieces == stopAtPiece;
        };
    }
    std::function<void(qint64, qint64)> onProgress()
    {
        return [this](qint64 r, qint64 t) {
            progress.append({r, t});
        };
    }
    std::function<void(NetworkError, const QString&)> onError()
    {
        return [this](NetworkError e, const QString& text) {
            ++errors;
            lastError = e;
            errorText = text;
        };
    }
    std::function<void(QNetworkReply*)> onFinishedSync()
    {
        return [this](QNetworkReply* reply) {
            ++finished;
            statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            contentLength = reply->rawHeader("Content-Length");
        };
    }
    std::function<void()> onFinishedAsync()
    {
        return [this] {
            ++finished;
        };
    }
};

} // namespace

class TestTransferDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void wholeBodyInPieces_data();
    void wholeBodyInPieces();
    void builderSettingsApply();
    void emptyBody_data();
    void emptyBody();
    void failuresReportOnce_data();
    void failuresReportOnce();
    void stopOnFirstPiece_data();
    void stopOnFirstPiece();
    void stoppedTransfersReleaseTheirConnection();
    void timeLimitBoundsTheWholeTransfer();
    void slowConsumerGetsBoundedPieces();
    void serviceGoneEndsAsyncSilently_data();
    void serviceGoneEndsAsyncSilently();
    void emptyDataCallbackIsRejected();

private:
    // A complete download from nginx: by the time it returns, every event queued before it
    // (late signals of an abandoned transfer, deferred deletions) has been processed.
    void roundTrip()
    {
        Record r;
        TUKHttpService(m_nginx.url(QStringLiteral("/small.txt")))
            .setTimeout(20000)
            .downloadSync(r.data(), r.onFinishedSync(), nullptr, r.onError());
        QCOMPARE(r.finished, 1);
    }

    tuktest::NginxServer m_nginx;
    tuktest::HttpBinServer m_httpbin;
    RawHttpServer m_raw;
    QByteArray m_big;
};

void TestTransferDownload::initTestCase()
{
    QVERIFY2(m_nginx.start(), qPrintable(m_nginx.errorString()));
    QVERIFY2(m_httpbin.start(), qPrintable(m_httpbin.errorString()));
    QVERIFY(m_raw.start());
    m_big = pattern(6 * 1024 * 1024 + 123);
    QVERIFY(m_nginx.writeFile(QStringLiteral("big.bin"), m_big));
    QVERIFY(m_nginx.writeFile(QStringLiteral("small.txt"), "small"));
    QVERIFY(m_nginx.writeFile(QStringLiteral("empty.bin"), QByteArray()));
    QVERIFY(m_nginx.makeSparseFile(QStringLiteral("huge.bin"), qint64(256) << 20));
}

void TestTransferDownload::wholeBodyInPieces_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<bool>("tls");
    QTest::newRow("sync") << false << false;
    QTest::newRow("async") << true << false;
    QTest::newRow("sync https") << false << true;
}

void TestTransferDownload::wholeBodyInPieces()
{
    QFETCH(bool, async);
    QFETCH(bool, tls);
    const QString path = QStringLiteral("/big.bin");
    TUKHttpService service(tls ? m_nginx.httpsUrl(path) : m_nginx.url(path));
    Record r;
    if (async) {
        service.downloadAsync(r.data(), r.onFinishedAsync(), r.onProgress(), r.onError());
        QCOMPARE(r.pieces, 0); // nothing before the caller is back in its event loop
        QTRY_COMPARE_WITH_TIMEOUT(r.outcomes(), 1, 20000);
    } else {
        service.setTimeout(20000).downloadSync(r.data(), r.onFinishedSync(), r.onProgress(),
                                               r.onError());
        QCOMPARE(r.statusCode, 200);
        QCOMPARE(r.contentLength, QByteArray::number(m_big.size()));
    }
    QCOMPARE(r.errors, 0);
    QCOMPARE(r.finished, 1);
    QVERIFY(r.body == m_big);
    QVERIFY(r.pieces >= 1);
    QVERIFY(!r.progress.isEmpty());
    QCOMPARE(r.progress.constLast(), qMakePair(qint64(m_big.size()), qint64(m_big.size())));
    roundTrip();
    QCOMPARE(r.outcomes(), 1);
}

// The download goes through the common dispatch: parameters, headers apply as for get().
void TestTransferDownload::builderSettingsApply()
{
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "payload"); });
    Record r;
    TUKHttpService(m_raw.url(QStringLiteral("/dl")))
        .addParam(QStringLiteral("a"), QStringLiteral("1 2"))
        .addHeader(QStringLiteral("X-Tuk"), QStringLiteral("yes"))
        .setTimeout(20000)
        .downloadSync(r.data(), r.onFinishedSync(), nullptr, r.onError());
    QCOMPARE(r.body, QByteArray("payload"));
    QCOMPARE(r.finished, 1);
    const RawRequest req = m_raw.requests().constLast();
    QCOMPARE(req.method, QByteArray("GET"));
    QCOMPARE(req.target, QByteArray("/dl?a=1%202"));
    QCOMPARE(req.header("X-Tuk"), QByteArray("yes"));
}

void TestTransferDownload::emptyBody_data()
{
    QTest::addColumn<bool>("async");
    QTest::newRow("sync") << false;
    QTest::newRow("async") << true;
}

void TestTransferDownload::emptyBody()
{
    QFETCH(bool, async);
    TUKHttpService service(m_nginx.url(QStringLiteral("/empty.bin")));
    Record r;
    if (async) {
        service.downloadAsync(r.data(), r.onFinishedAsync(), nullptr, r.onError());
        QTRY_COMPARE_WITH_TIMEOUT(r.outcomes(), 1, 20000);
    } else {
        service.downloadSync(r.data(), r.onFinishedSync(), nullptr, r.onError());
        QCOMPARE(r.statusCode, 200);
    }
    QCOMPARE(r.finished, 1);
    QCOMPARE(r.pieces, 0);
    roundTrip();
    QCOMPARE(r.outcomes(), 1);
}

void TestTransferDownload::failuresReportOnce_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("expected");
    const QString missing = m_nginx.url(QStringLiteral("/missing.bin"));
    const QString refused =
        QStringLiteral("http://127.0.0.1:%1/x").arg(tuktest::freeLoopbackPort());
    QTest::newRow("sync 404") << false << missing << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("async 404") << true << missing << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("sync refused") << false << refused << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("async refused") << true << refused << int(QNetworkReply::ConnectionRefusedError);
}

void TestTransferDownload::failuresReportOnce()
{
    QFETCH(bool, async);
    QFETCH(QString, url);
    QFETCH(int, expected);
    TUKHttpService service(url);
    Record r;
    if (async) {
        service.downloadAsync(r.data(), r.onFinishedAsync(), nullptr, r.onError());
        QTRY_COMPARE_WITH_TIMEOUT(r.outcomes(), 1, 20000);
    } else {
        service.setTimeout(20000).downloadSync(r.data(), r.onFinishedSync(), nullptr, r.onError());
    }
    QCOMPARE(r.errors, 1);
    QCOMPARE(int(r.lastError), expected);
    QVERIFY(!r.errorText.isEmpty());
    QCOMPARE(r.finished, 0);
    roundTrip();
    QCOMPARE(r.outcomes(), 1);
}

void TestTransferDownload::stopOnFirstPiece_data()
{
    emptyBody_data();
}

void TestTransferDownload::stopOnFirstPiece()
{
    QFETCH(bool, async);
    TUKHttpService service(m_nginx.url(QStringLiteral("/huge.bin")));
    Record r;
    if (async) {
        service.downloadAsync(r.data(1), r.onFinishedAsync(), r.onProgress(), r.onError());
        QTRY_COMPARE_WITH_TIMEOUT(r.pieces, 1, 20000);
    } else {
        service.setTimeout(20000).downloadSync(r.data(1), r.onFinishedSync(), r.onProgress(),
                                               r.onError());
        QCOMPARE(r.pieces, 1);
    }
    const int progressReports = r.progress.size();
    roundTrip();
    roundTrip();
    QCOMPARE(r.pieces, 1);
    QCOMPARE(r.outcomes(), 0);
    QCOMPARE(r.progress.size(), progressReports);
    QVERIFY(r.body.size() < (qint64(256) << 20));
}

// A stopped transfer must give its connection back: more stopped downloads than Qt keeps
// connections per host, and the next download to that host still goes through.
void TestTransferDownload::stoppedTransfersReleaseTheirConnection()
{
    TUKHttpService service(m_nginx.url(QStringLiteral("/huge.bin")));
    service.setTimeout(20000);
    for (int i = 0; i < 8; ++i) {
        Record r;
        service.downloadSync(r.data(1), r.onFinishedSync(), nullptr, r.onError());
        QCOMPARE(r.pieces, 1);
        QCOMPARE(r.outcomes(), 0);
    }
    Record last;
    service.setUrl(m_nginx.url(QStringLiteral("/big.bin")))
        .downloadSync(last.data(), last.onFinishedSync(), nullptr, last.onError());
    QCOMPARE(last.errors, 0);
    QCOMPARE(last.finished, 1);
    QVERIFY(last.body == m_big);
}

// httpbin's drip sends one byte every 100 ms for 6 s; the 1.5 s limit ends it while bytes keep
// arriving. Without a limit the same drip completes.
void TestTransferDownload::timeLimitBoundsTheWholeTransfer()
{
    const QString drip = m_httpbin.url(QStringLiteral("/drip?duration=6&numbytes=60&delay=0"));
    Record r;
    QElapsedTimer clock;
    clock.start();
    TUKHttpService(drip).setTimeout(1500).downloadSync(r.data(), r.onFinishedSync(), nullptr,
                                                       r.onError());
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(r.errors, 1);
    QCOMPARE(r.lastError, QNetworkReply::TimeoutError);
    QCOMPARE(r.finished, 0);
    QVERIFY2(r.pieces >= 1, "bytes that arrived in time are delivered");
    QVERIFY2(elapsed >= 1300 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    const int pieces = r.pieces;

    // Runs long enough for the abandoned drip to have ended, had it continued.
    Record full;
    TUKHttpService(m_httpbin.url(QStringLiteral("/drip?duration=2&numbytes=20&delay=0")))
        .setTimeout(0)
        .downloadSync(full.data(), full.onFinishedSync(), nullptr, full.onError());
    QCOMPARE(full.finished, 1);
    QCOMPARE(full.body.size(), 20);
    QCOMPARE(r.pieces, pieces);
    QCOMPARE(r.outcomes(), 1);
}

// A consumer slower than the network gets pieces of about the bounded read buffer (2 MiB; Qt may
// add a little), never the backlog: without the bound the first piece after the stall is over
// 100 MiB here.
void TestTransferDownload::slowConsumerGetsBoundedPieces()
{
    int largest = 0;
    qint64 total = 0;
    Record r;
    TUKHttpService(m_nginx.url(QStringLiteral("/huge.bin")))
        .setTimeout(60000)
        .downloadSync(
            [&](const QByteArray& chunk, bool&) {
                if (total == 0)
                    QThread::msleep(300); // a stalled consumer: the network runs ahead
                largest = qMax(largest, chunk.size());
                total += chunk.size();
            },
            r.onFinishedSync(), nullptr, r.onError());
    QCOMPARE(r.finished, 1);
    QCOMPARE(total, qint64(256) << 20);
    QVERIFY2(largest <= 8 * 1024 * 1024, qPrintable(QString::number(largest)));
}

void TestTransferDownload::serviceGoneEndsAsyncSilently_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("destroyed") << true;
    QTest::newRow("reset") << false;
}

void TestTransferDownload::serviceGoneEndsAsyncSilently()
{
    QFETCH(bool, destroy);
    auto service = std::make_unique<TUKHttpService>(
        m_httpbin.url(QStringLiteral("/drip?duration=2&numbytes=20&delay=0")));
    Record r;
    service->downloadAsync(r.data(), r.onFinishedAsync(), r.onProgress(), r.onError());
    QTRY_VERIFY_WITH_TIMEOUT(r.pieces >= 1, 20000);
    if (destroy)
        service.reset();
    else
        service->reset();
    const int pieces = r.pieces;
    const int reports = r.progress.size();

    // Longer than the rest of the abandoned drip.
    Record other;
    TUKHttpService(m_httpbin.url(QStringLiteral("/drip?duration=3&numbytes=10&delay=0")))
        .setTimeout(0)
        .downloadSync(other.data(), other.onFinishedSync(), nullptr, other.onError());
    QCOMPARE(other.finished, 1);
    QCOMPARE(r.pieces, pieces);
    QCOMPARE(r.progress.size(), reports);
    QCOMPARE(r.outcomes(), 0);

    if (!destroy) { // a reset service still works
        Record again;
        service->setUrl(m_nginx.url(QStringLiteral("/small.txt")))
            .downloadAsync(again.data(), again.onFinishedAsync(), nullptr, again.onError());
        QTRY_COMPARE_WITH_TIMEOUT(again.finished, 1, 20000);
        QCOMPARE(again.body, QByteArray("small"));
    }
}

void TestTransferDownload::emptyDataCallbackIsRejected()
{
    const int connectionsBefore = m_raw.connectionCount();
    TUKHttpService service(m_raw.url(QStringLiteral("/never")));

    Record sync;
    service.downloadSync(nullptr, sync.onFinishedSync(), nullptr, sync.onError());
    QCOMPARE(sync.errors, 1); // before the call returns
    QCOMPARE(sync.lastError, QNetworkReply::ProtocolInvalidOperationError);
    QVERIFY(!sync.errorText.isEmpty());

    Record async;
    service.downloadAsync(nullptr, async.onFinishedAsync(), nullptr, async.onError());
    QCOMPARE(async.errors, 0); // reported from the event loop, like every async outcome
    QTRY_COMPARE_WITH_TIMEOUT(async.errors, 1, 20000);
    QCOMPARE(async.lastError, QNetworkReply::ProtocolInvalidOperationError);
    QCOMPARE(async.errorText, sync.errorText);

    // Without an error callback it is dropped quietly; with the service gone, not reported.
    service.downloadSync(nullptr, nullptr, nullptr, nullptr);
    service.downloadAsync(nullptr, nullptr, nullptr, nullptr);
    Record late;
    auto doomed = std::make_unique<TUKHttpService>(m_raw.url(QStringLiteral("/never")));
    doomed->downloadAsync(nullptr, late.onFinishedAsync(), nullptr, late.onError());
    doomed.reset();

    roundTrip();
    QCOMPARE(sync.outcomes() + async.outcomes(), 2);
    QCOMPARE(late.outcomes(), 0);
    QCOMPARE(m_raw.connectionCount(), connectionsBefore); // nothing was ever sent
}

QTEST_GUILESS_MAIN(TestTransferDownload)
#include "tst_transfer_download.moc"
