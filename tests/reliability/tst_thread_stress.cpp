// The connectivity monitor's shared state under threads, also under ThreadSanitizer
// (scripts/test-sanitize.sh): verdicts queued from threads that read it while they are delivered.
#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

#ifdef __SANITIZE_THREAD__
// Debian's Qt is not instrumented, so ThreadSanitizer cannot see its locks. The library takes them
// through Qt's exported functions; these stand-ins take them and tell ThreadSanitizer.
#include <dlfcn.h>
extern "C" void __tsan_acquire(void*), __tsan_release(void*);
void QMutex::lock()
{
    static auto real = reinterpret_cast<void (*)(QMutex*)>(dlsym(RTLD_NEXT, "_ZN6QMutex4lockEv"));
    real(this), __tsan_acquire(this);
}
void QMutex::unlock() noexcept
{
    static auto real = reinterpret_cast<void (*)(QMutex*)>(dlsym(RTLD_NEXT, "_ZN6QMutex6unlockEv"));
    __tsan_release(this), real(this);
}
bool QWaitCondition::wait(QMutex* mutex, QDeadlineTimer deadline)
{
    static auto real = reinterpret_cast<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>(
        dlsym(RTLD_NEXT, "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer"));
    __tsan_release(mutex);
    const bool woken = real(this, mutex, deadline);
    return __tsan_acquire(mutex), woken;
}
#endif

class tst_ThreadStress : public QObject
{
    Q_OBJECT

private slots:
    void monitorVerdicts()
    {
        TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
        QList<bool> signalled; // every signal, in order: they must alternate
        QObject scope;         // the connections end with this test
        connect(monitor, &TUKNetWorkCheck::sigNetWorkConnect, &scope, [&] { signalled << true; });
        connect(monitor, &TUKNetWorkCheck::sigNetWorkBreak, &scope, [&] { signalled << false; });
        std::atomic<int> posted{0};
        std::atomic<bool> stop{false};
        // Threads that queue verdicts, as the probe thread does, then read it until the end.
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 2000; ++i)
                    QMetaObject::invokeMethod(monitor, "setNetWorkStatus", Qt::QueuedConnection,
                                              Q_ARG(bool, (i + t) % 2 == 0));
                for (++posted; !stop;)
                    monitor->isConnect();
            });
        QTRY_COMPARE_WITH_TIMEOUT(posted.load(), 4, 60000); // delivering verdicts meanwhile
        QCoreApplication::processEvents();                  // and the last ones
        stop = true;
        for (std::thread& thread : threads)
            thread.join();
        QVERIFY(!signalled.isEmpty());
        for (int i = 1; i < signalled.size(); ++i)
            QVERIFY(signalled[i] != signalled[i - 1]);
        QCOMPARE(monitor->isConnect(), signalled.last());
    }
};

QTEST_GUILESS_MAIN(tst_ThreadStress)
#include "tst_thread_stress.moc"
