// TUKNetWorkCheck with its real probe thread, whose platform backend is replaced through the
// internal seam by one the test steers (no network is probed).

#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> g_backendsMade{0};
std::atomic<bool> g_online{true};
std::atomic<int> g_checks{0};
QMutex g_urlsMutex;
QSet<QString> g_urls; // endpoints the probe thread asked about

class SteeredBackend : public tuk::platform::ConnectivityBackend
{
public:
    bool anyConnectionUp() override { return g_online; }
    bool checkEndpoint(const std::string& url) override
    {
        QMutexLocker lock(&g_urlsMutex);
        g_urls.insert(QString::fromStdString(url));
        ++g_checks;
        return g_online;
    }
};

bool deliver(TUKNetWorkCheck* monitor, bool verdict, Qt::ConnectionType type)
{
    return QMetaObject::invokeMethod(monitor, "setNetWorkStatus", type, Q_ARG(bool, verdict));
}

} // namespace

class TestNetcheckMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startsConnectedAndIsOneObject();
    void queuedVerdictsEmitOncePerChange();
    void directlyConnectedSlotSeesTheNewVerdict();
    void verdictsFromAnotherThreadArriveOnTheMonitorThread();
    void probeThreadReportsAChangeAtTheNextTick();
};

void TestNetcheckMonitor::initTestCase()
{
    tuk::netcheck::setProbeBackendFactory([] {
        ++g_backendsMade;
        return std::make_unique<SteeredBackend>();
    });
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QVERIFY(monitor);
    // The probe thread has started and made its first probe with our backend.
    QTRY_VERIFY_WITH_TIMEOUT(g_checks >= 1, 20000);
    QCOMPARE(g_backendsMade.load(), 1);
    QMutexLocker lock(&g_urlsMutex);
    QCOMPARE(g_urls.size(), 1);
    // ... and with the endpoints the environment names.
    QVERIFY(tuk::netcheck::probeEndpoints(qgetenv(tuk::netcheck::kEndpointsVariable))
                .contains(*g_urls.begin()));
}

void TestNetcheckMonitor::startsConnectedAndIsOneObject()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QCOMPARE(TUKNetWorkCheck::getInstance(), monitor);
    QVERIFY(monitor->isConnect());
    QCOMPARE(monitor->thread(), QThread::currentThread());
}

void TestNetcheckMonitor::queuedVerdictsEmitOncePerChange()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QSignalSpy breaks(monitor, &TUKNetWorkCheck::sigNetWorkBreak);
    QSignalSpy connects(monitor, &TUKNetWorkCheck::sigNetWorkConnect);

    QVERIFY(deliver(monitor, true, Qt::QueuedConnection)); // same as the current state
    QVERIFY(deliver(monitor, false, Qt::QueuedConnection));
    QVERIFY(deliver(monitor, false, Qt::QueuedConnection)); // repeated
    QVERIFY(deliver(monitor, true, Qt::QueuedConnection));
    QVERIFY(monitor->isConnect()); // nothing delivered before the event loop runs
    QTRY_COMPARE_WITH_TIMEOUT(connects.count(), 1, 20000);
    QCOMPARE(breaks.count(), 1);
    QVERIFY(monitor->isConnect());
}

void TestNetcheckMonitor::directlyConnectedSlotSeesTheNewVerdict()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QList<bool> seen;
    const auto recordBreak = connect(
        monitor, &TUKNetWorkCheck::sigNetWorkBreak, this, [&] { seen << monitor->isConnect(); },
        Qt::DirectConnection);
    const auto recordConnect = connect(
        monitor, &TUKNetWorkCheck::sigNetWorkConnect, this, [&] { seen << monitor->isConnect(); },
        Qt::DirectConnection);

    QVERIFY(deliver(monitor, false, Qt::DirectConnection));
    QCOMPARE(seen, QList<bool>{false});
    QVERIFY(deliver(monitor, true, Qt::DirectConnection));
    QCOMPARE(seen, (QList<bool>{false, true}));
    disconnect(recordBreak);
    disconnect(recordConnect);
}

void TestNetcheckMonitor::verdictsFromAnotherThreadArriveOnTheMonitorThread()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QThread* emittedOn = nullptr;
    const auto record = connect(
        monitor, &TUKNetWorkCheck::sigNetWorkBreak, this,
        [&] { emittedOn = QThread::currentThread(); }, Qt::DirectConnection);
    QSignalSpy breaks(monitor, &TUKNetWorkCheck::sigNetWorkBreak);
    QSignalSpy connects(monitor, &TUKNetWorkCheck::sigNetWorkConnect);

    bool invoked = false;
    std::thread other([&] { invoked = deliver(monitor, false, Qt::AutoConnection); });
    other.join();
    QVERIFY(invoked);
    QTRY_COMPARE_WITH_TIMEOUT(breaks.count(), 1, 20000);
    QCOMPARE(emittedOn, QThread::currentThread());
    QVERIFY(!monitor->isConnect());

    // isConnect() from another thread reads the same value.
    bool readElsewhere = true;
    std::thread reader([&] { readElsewhere = monitor->isConnect(); });
    reader.join();
    QVERIFY(!readElsewhere);

    QVERIFY(deliver(monitor, true, Qt::QueuedConnection));
    QTRY_COMPARE_WITH_TIMEOUT(connects.count(), 1, 20000);
    disconnect(record);
}

void TestNetcheckMonitor::probeThreadReportsAChangeAtTheNextTick()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    QVERIFY(monitor->isConnect());
    QSignalSpy breaks(monitor, &TUKNetWorkCheck::sigNetWorkBreak);
    QSignalSpy connects(monitor, &TUKNetWorkCheck::sigNetWorkConnect);

    g_online = false;
    QTRY_COMPARE_WITH_TIMEOUT(breaks.count(), 1, 20000);
    QVERIFY(!monitor->isConnect());

    g_online = true;
    QTRY_COMPARE_WITH_TIMEOUT(connects.count(), 1, 20000);
    QVERIFY(monitor->isConnect());
    QCOMPARE(breaks.count(), 1);
}

QTEST_GUILESS_MAIN(TestNetcheckMonitor)
#include "tst_netcheck_monitor.moc"
