// Streaming downloads of TUKHttpService (downloadSync, downloadAsync) against nginx, httpbin and
// our raw server on loopback.
#include <TUKCloudUtils/TUKHttpService.h>

#include "HttpBinServer.h"
#include "NginxServer.h"
#include "RawHttpServer.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <list>
#include <memory>

using tuktest::RawHttpServer;
using tuktest::RawRequest;
using NetworkError = QNetworkReply::NetworkError;

namespace {

QByteArray pattern(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

// Everything one transfer reported.
struct Record
{
    QByteArray body;
    int pieces = 0, finished = 0, errors = 0, statusCode = 0, reportsAtStop = 0;
    NetworkError lastError = QNetworkReply::NoError;
    QString errorText;
    QList<QPair<qint64, qint64>> progress;
    QByteArray contentLength;

    int outcomes() const { return finished + errors; }
    QVector<int> seen() const { return {pieces, finished, errors, int(progress.size())}; }

    std::function<void(const QByteArray&, bool&)> data(int stopAtPiece = 0)
    {
        return [this, stopAtPiece](const QByteArray& chunk, bool& stop) {
            body += chunk;
            stop = ++pieces == stopAtPiece;
        };
    }
    std::function<void(qint64, qint64)> onProgress = [this](qint64 r, qint64 t) {
        progress.append({r, t});
    };
    std::function<void(NetworkError, const QString&)> onError = [this](NetworkError e,
                                                                       const QString& t) {
        ++errors, lastError = e, errorText = t;
    };
    std::function<void()> onFinishedAsync = [this] {
        ++finished;
    };
    std::function<void(QNetworkReply*)> onFinishedSync = [this](QNetworkReply* reply) {
        ++finished;
        statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        contentLength = reply->rawHeader("Content-Length");
    };

    // One download with every callback; an async one is waited for until it reports its outcome
    // (or its last wanted piece).
    void run(TUKHttpService& service, bool async, int stopAtPiece = 0)
    {
        if (async) {
            service.downloadAsync(data(stopAtPiece), onFinishedAsync, onProgress, onError);
            QCOMPARE(pieces + outcomes(), 0); // nothing before the caller is back in its loop
            QTRY_VERIFY_WITH_TIMEOUT(stopAtPiece ? pieces == stopAtPiece : outcomes() == 1, 20000);
        } else {
            service.setTimeout(20000).downloadSync(data(stopAtPiece), onFinishedSync, onProgress,
                                                   onError);
        }
        reportsAtStop = progress.size();
    }
};

} // namespace

class TestTransferDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void outcomeReportedOnce_data();
    void outcomeReportedOnce();
    void builderSettingsApply();
    void stoppedTransfersEndQuietly();
    void timeLimitBoundsTheWholeTransfer();
    void slowConsumerGetsBoundedPieces();
    void serviceGoneEndsAsyncSilently();
    void emptyDataCallbackIsRejected();

private:
    // A complete download from nginx: by the time it returns, every event queued before it
    // (late signals of an abandoned transfer, deferred deletions) has been processed.
    void roundTrip()
    {
        Record r;
        TUKHttpService service(m_nginx.url(QStringLiteral("/small.txt")));
        r.run(service, false);
        QCOMPARE(r.finished, 1);
    }
    QString drip(int seconds, int bytes) const
    {
        return m_httpbin.url(
            QStringLiteral("/drip?duration=%1&numbytes=%2&delay=0").arg(seconds).arg(bytes));
    }
    // Without a time limit a drip runs to its end; this also outlasts an abandoned shorter one.
    void fullDrip(int seconds, int bytes)
    {
        Record full;
        TUKHttpService(drip(seconds, bytes))
            .setTimeout(0)
            .downloadSync(full.data(), full.onFinishedSync, nullptr, full.onError);
        QCOMPARE(full.finished, 1);
        QCOMPARE(full.body.size(), bytes);
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

void TestTransferDownload::outcomeReportedOnce_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");
    const QString refused =
        QStringLiteral("http://127.0.0.1:%1/x").arg(tuktest::freeLoopbackPort());
    const int ok = QNetworkReply::NoError, notFound = QNetworkReply::ContentNotFoundError;
    for (bool async : {false, true}) {
        const char* mode = async ? "async" : "sync";
        QTest::addRow("%s whole body", mode) << async << m_nginx.url("/big.bin") << ok << m_big;
        QTest::addRow("%s empty body", mode)
            << async << m_nginx.url("/empty.bin") << ok << QByteArray();
        QTest::addRow("%s 404", mode)
            << async << m_nginx.url("/missing.bin") << notFound << QByteArray();
        QTest::addRow("%s refused", mode)
            << async << refused << int(QNetworkReply::ConnectionRefusedError) << QByteArray();
    }
    QTest::newRow("sync https whole body")
        << false << m_nginx.httpsUrl(QStringLiteral("/big.bin")) << ok << m_big;
}

void TestTransferDownload::outcomeReportedOnce()
{
    QFETCH(bool, async);
    QFETCH(QString, url);
    QFETCH(int, error);
    QFETCH(QByteArray, body);
    TUKHttpService service(url);
    Record r;
    r.run(service, async);
    const bool ok = error == QNetworkReply::NoError;
    QCOMPARE(r.finished, int(ok));
    QCOMPARE(r.errors, int(!ok));
    QCOMPARE(int(r.lastError), error);
    QCOMPARE(r.errorText.isEmpty(), ok);
    if (ok) {
        QVERIFY(r.body == body);
        QCOMPARE(r.pieces > 0, !body.isEmpty());
        if (!body.isEmpty())
            QCOMPARE(r.progress.constLast(), qMakePair(qint64(body.size()), qint64(body.size())));
        if (!async) {
            QCOMPARE(r.statusCode, 200);
            QCOMPARE(r.contentLength, QByteArray::number(body.size()));
        }
    }
    roundTrip();
    QCOMPARE(r.outcomes(), 1);
}

// The download goes through the common dispatch: parameters, headers apply as for get().
void TestTransferDownload::builderSettingsApply()
{
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "payload"); });
    TUKHttpService service(m_raw.url(QStringLiteral("/dl")));
    service.addParam(QStringLiteral("a"), QStringLiteral("1 2"))
        .addHeader(QStringLiteral("X-Tuk"), QStringLiteral("yes"));
    Record r;
    r.run(service, false);
    QCOMPARE(r.body, QByteArray("payload"));
    QCOMPARE(r.finished, 1);
    const RawRequest req = m_raw.requests().constLast();
    QCOMPARE(req.method, QByteArray("GET"));
    QCOMPARE(req.target, QByteArray("/dl?a=1%202"));
    QCOMPARE(req.header("X-Tuk"), QByteArray("yes"));
}

// A stopped transfer reports nothing more and gives its connection back: more stopped downloads
// than Qt keeps connections per host, and the next download to that host still goes through.
void TestTransferDownload::stoppedTransfersEndQuietly()
{
    for (bool async : {false, true}) {
        TUKHttpService service(m_nginx.url(QStringLiteral("/huge.bin")));
        std::list<Record> stopped;
        for (int i = 0; i < 8; ++i) {
            stopped.emplace_back();
            stopped.back().run(service, async, 1);
        }
        roundTrip();
        roundTrip();
        for (const Record& r : stopped) {
            QCOMPARE(r.seen(), QVector<int>({1, 0, 0, r.reportsAtStop}));
            QVERIFY(r.body.size() < (qint64(256) << 20));
        }
        Record last;
        last.run(service.setUrl(m_nginx.url(QStringLiteral("/big.bin"))), async);
        QCOMPARE(last.errors, 0);
        QCOMPARE(last.finished, 1);
        QVERIFY(last.body == m_big);
    }
}

// The drip sends one byte every 100 ms for 6 s; the 1.5 s limit ends it while bytes keep arriving.
void TestTransferDownload::timeLimitBoundsTheWholeTransfer()
{
    Record r;
    QElapsedTimer clock;
    clock.start();
    TUKHttpService(drip(6, 60))
        .setTimeout(1500)
        .downloadSync(r.data(), r.onFinishedSync, nullptr, r.onError);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(r.errors, 1);
    QCOMPARE(r.lastError, QNetworkReply::TimeoutError);
    QCOMPARE(r.finished, 0);
    QVERIFY2(r.pieces >= 1, "bytes that arrived in time are delivered");
    QVERIFY2(elapsed >= 1300 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    const QVector<int> seen = r.seen();
    fullDrip(2, 20);
    QCOMPARE(r.seen(), seen);
}

// A consumer slower than the network gets pieces of about the bounded read buffer (2 MiB; Qt may
// add a little), never the backlog: without the bound the first piece after the stall is over
// 100 MiB here.
void TestTransferDownload::slowConsumerGetsBoundedPieces()
{
    int largest = 0;
    qint64 total = 0;
    Record r;
    auto consume = [&](const QByteArray& chunk, bool&) {
        if (total == 0)
            QThread::msleep(300); // a stalled consumer: the network runs ahead
        largest = qMax(largest, chunk.size());
        total += chunk.size();
    };
    TUKHttpService(m_nginx.url(QStringLiteral("/huge.bin")))
        .setTimeout(60000)
        .downloadSync(consume, r.onFinishedSync, nullptr, r.onError);
    QCOMPARE(r.finished, 1);
    QCOMPARE(total, qint64(256) << 20);
    QVERIFY2(largest <= 8 * 1024 * 1024, qPrintable(QString::number(largest)));
}

void TestTransferDownload::serviceGoneEndsAsyncSilently()
{
    for (bool destroy : {true, false}) {
        auto service = std::make_unique<TUKHttpService>(drip(2, 20));
        Record r;
        service->downloadAsync(r.data(), r.onFinishedAsync, r.onProgress, r.onError);
        QTRY_VERIFY_WITH_TIMEOUT(r.pieces >= 1, 20000);
        if (destroy)
            service.reset();
        else
            service->reset();
        const QVector<int> seen = r.seen();
        fullDrip(3, 10);
        QCOMPARE(r.seen(), seen);
        QCOMPARE(r.outcomes(), 0);
        if (!destroy) { // a reset service still works
            Record again;
            again.run(service->setUrl(m_nginx.url(QStringLiteral("/small.txt"))), true);
            QCOMPARE(again.body, QByteArray("small"));
        }
    }
}

void TestTransferDownload::emptyDataCallbackIsRejected()
{
    const int connectionsBefore = m_raw.connectionCount();
    TUKHttpService service(m_raw.url(QStringLiteral("/never")));

    Record sync, async;
    service.downloadSync(nullptr, sync.onFinishedSync, nullptr, sync.onError);
    QCOMPARE(sync.errors, 1); // before the call returns
    service.downloadAsync(nullptr, async.onFinishedAsync, nullptr, async.onError);
    QCOMPARE(async.errors, 0); // reported from the event loop, like every async outcome
    QTRY_COMPARE_WITH_TIMEOUT(async.errors, 1, 20000);
    QCOMPARE(sync.lastError, QNetworkReply::ProtocolInvalidOperationError);
    QCOMPARE(async.lastError, QNetworkReply::ProtocolInvalidOperationError);
    QVERIFY(!sync.errorText.isEmpty());
    QCOMPARE(async.errorText, sync.errorText);

    // Without an error callback it is dropped quietly; with the service gone, not reported.
    service.downloadSync(nullptr, nullptr, nullptr, nullptr);
    service.downloadAsync(nullptr, nullptr, nullptr, nullptr);
    Record late;
    auto doomed = std::make_unique<TUKHttpService>(m_raw.url(QStringLiteral("/never")));
    doomed->downloadAsync(nullptr, late.onFinishedAsync, nullptr, late.onError);
    doomed.reset();

    roundTrip();
    QCOMPARE(sync.outcomes() + async.outcomes(), 2);
    QCOMPARE(late.outcomes(), 0);
    QCOMPARE(m_raw.connectionCount(), connectionsBefore); // nothing was ever sent
}

QTEST_GUILESS_MAIN(TestTransferDownload)
#include "tst_transfer_download.moc"
