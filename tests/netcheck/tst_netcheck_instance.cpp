// The first calls of TUKNetWorkCheck::getInstance() made by several threads at once build one
// monitor, which belongs to the thread whose call built it.

#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class OnlineBackend : public tuk::platform::ConnectivityBackend
{
public:
    bool anyConnectionUp() override { return true; }
    bool checkEndpoint(const std::string&) override { return true; }
};

} // namespace

class TestNetcheckInstance : public QObject
{
    Q_OBJECT

private slots:
    void concurrentFirstCallsBuildOneMonitor();
};

void TestNetcheckInstance::concurrentFirstCallsBuildOneMonitor()
{
    tuk::netcheck::setProbeBackendFactory([] { return std::make_unique<OnlineBackend>(); });

    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<TUKNetWorkCheck*> seen(kThreads, nullptr);
    std::vector<QThread*> callers(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            callers[i] = QThread::currentThread();
            ++ready;
            while (!go)
                std::this_thread::yield();
            seen[i] = TUKNetWorkCheck::getInstance();
        });
    }
    while (ready < kThreads)
        std::this_thread::yield();
    go = true;
    for (std::thread& t : threads)
        t.join();

    TUKNetWorkCheck* monitor = seen.front();
    QVERIFY(monitor);
    for (TUKNetWorkCheck* m : seen)
        QCOMPARE(m, monitor);
    QCOMPARE(TUKNetWorkCheck::getInstance(), monitor);
    QVERIFY(std::find(callers.begin(), callers.end(), monitor->thread()) != callers.end());
    QVERIFY(monitor->isConnect());
}

QTEST_GUILESS_MAIN(TestNetcheckInstance)
#include "tst_netcheck_instance.moc"
