// TUKThread as a host uses it: through the shared library only.
#include <TUKCloudUtils/TUKThread.h>

#include "FaultHelpers.h"
#include "MessageLog.h"
#include "TukTestEnv.h"

#include <QLoggingCategory>
#include <QProcessEnvironment>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include <unistd.h>

Q_DECLARE_METATYPE(std::function<void()>)

namespace {

const QString kRunCrash = QStringLiteral(u"线程执行崩溃");

} // namespace

// A worker whose work the test chooses. It records what it saw, and whether the work returned.
class Worker : public TUKThread
{
    Q_OBJECT
public:
    std::function<void()> work;
    QString customName; // when set, used instead of the class name
    QString nameSeenByWork;
    std::atomic<bool> started{false};
    std::atomic<bool> workReturned{false};

protected:
    void setThreadName() override
    {
        if (customName.isEmpty())
            TUKThread::setThreadName();
        else
            setObjectName(customName);
    }
    void doWork() override
    {
        nameSeenByWork = objectName();
        started = true;
        if (work)
            work();
        workReturned = true;
    }
};

class DerivedWorker : public Worker
{
    Q_OBJECT
};

// No Q_OBJECT: its meta-object is DerivedWorker's.
class UnmarkedWorker : public DerivedWorker
{};

// Crashes before the work starts.
class NameCrasher : public Worker
{
    Q_OBJECT
protected:
    void setThreadName() override { tuktest::writeThroughNull(); }
};

class TestTUKThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void workEndsThreadQuietly_data();
    void workEndsThreadQuietly();
    void eightThreadsFaultAtOnce();
    void objectNameIsMostDerivedClass();
    void terminationIsNotACrash_data();
    void terminationIsNotACrash();
    void faultOnOtherThreadsStillKills_data();
    void faultOnOtherThreadsStillKills();

private:
    // Starts the thread and waits until finished() has reached this (the main) thread once.
    bool runToEnd(TUKThread& thread);
    // The crash reports the library has written to its logging category since the last call.
    QStringList takeCrashLines();

    std::unique_ptr<tuktest::MessageLog> m_log;
};

void TestTUKThread::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("tukcloudutils.thread.debug=true"));
    // Made once the test framework has put its own handler in place, which passes nothing on.
    m_log = std::make_unique<tuktest::MessageLog>(QList<QtMsgType>{QtDebugMsg});
}

QStringList TestTUKThread::takeCrashLines()
{
    const QStringList lines = m_log->messages();
    m_log->clear();
    return lines;
}

void TestTUKThread::init()
{
    takeCrashLines();
}

bool TestTUKThread::runToEnd(TUKThread& thread)
{
    int finishedSeen = 0;
    QMetaObject::Connection c =
        connect(&thread, &QThread::finished, this, [&finishedSeen] { ++finishedSeen; });
    thread.start();
    bool ok = QTest::qWaitFor([&] { return finishedSeen > 0; }, 30000);
    disconnect(c);
    return ok && finishedSeen == 1 && !thread.isRunning() && thread.isFinished();
}

void TestTUKThread::workEndsThreadQuietly_data()
{
    using Work = std::function<void()>;
    QTest::addColumn<Work>("work");
    QTest::addColumn<bool>("crashes");
    QTest::newRow("returns") << Work([] {}) << false;
    QTest::newRow("throws std::exception")
        << Work([] { throw std::runtime_error("boom"); }) << true;
    QTest::newRow("throws a non-std type") << Work([] { throw 42; }) << true;
    QTest::newRow("writes through null") << Work(tuktest::writeThroughNull) << true;
    QTest::newRow("divides by zero") << Work(tuktest::divideByZero) << true;
    QTest::newRow("overflows its stack") << Work([] { tuktest::overflowStack(); }) << true;
}

void TestTUKThread::workEndsThreadQuietly()
{
    QFETCH(std::function<void()>, work);
    QFETCH(bool, crashes);
    // Twice: the same object can be started again after a crash.
    Worker worker;
    for (int round = 0; round < 2; ++round) {
        bool ran = false;
        worker.work = [&] {
            ran = true;
            work();
        };
        worker.workReturned = false;
        QVERIFY(runToEnd(worker));
        QVERIFY(ran);
        QCOMPARE(bool(worker.workReturned), !crashes);
        QCOMPARE(takeCrashLines(),
                 crashes ? QStringList{QStringLiteral("Worker: ") + kRunCrash} : QStringList());
    }
}

// Each thread must land back in its own guard, also when all fault at the same moment.
void TestTUKThread::eightThreadsFaultAtOnce()
{
    constexpr int kThreads = 8;
    static void (*const faults[])() = {tuktest::writeThroughNull, tuktest::divideByZero, [] {
                                           tuktest::overflowStack();
                                       }};
    std::atomic<int> arrived{0};
    std::vector<std::unique_ptr<Worker>> workers;
    int finishedSeen = 0;
    QStringList expected;
    for (int i = 0; i < kThreads; ++i) {
        auto w = std::make_unique<Worker>();
        w->customName = QStringLiteral("Faulter%1").arg(i);
        expected << w->customName + QStringLiteral(": ") + kRunCrash;
        w->work = [&arrived, i] {
            ++arrived;
            while (arrived.load() < kThreads)
                std::this_thread::yield();
            faults[i % 3]();
        };
        connect(w.get(), &QThread::finished, this, [&finishedSeen] { ++finishedSeen; });
        workers.push_back(std::move(w));
    }
    for (auto& w : workers)
        w->start();
    QTRY_COMPARE_WITH_TIMEOUT(finishedSeen, kThreads, 60000);
    for (auto& w : workers)
        QVERIFY(w->isFinished() && !w->workReturned);
    QStringList lines = takeCrashLines();
    lines.sort();
    QCOMPARE(lines, expected);
}

void TestTUKThread::objectNameIsMostDerivedClass()
{
    DerivedWorker derived;
    derived.setObjectName(QStringLiteral("set before start"));
    QVERIFY(runToEnd(derived));
    QCOMPARE(derived.objectName(), QStringLiteral("DerivedWorker"));
    QCOMPARE(derived.nameSeenByWork, QStringLiteral("DerivedWorker"));

    UnmarkedWorker unmarked;
    QVERIFY(runToEnd(unmarked));
    QCOMPARE(unmarked.objectName(), QStringLiteral("DerivedWorker"));
    QVERIFY(takeCrashLines().isEmpty());

    // A crash in setThreadName() is caught too; the name is then the class name.
    NameCrasher crasher;
    QVERIFY(runToEnd(crasher));
    QVERIFY(!crasher.started);
    QCOMPARE(takeCrashLines(), QStringList{QStringLiteral("NameCrasher: ") + kRunCrash});
}

void TestTUKThread::terminationIsNotACrash_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("QThread::terminate") << QStringLiteral("terminate");
    QTest::newRow("stopRuning") << QStringLiteral("stopRuning");
    QTest::newRow("delete while running") << QStringLiteral("delete");
    // On Linux a termination takes effect only where the thread may be cancelled. One requested
    // while the work computes is acted on once the work returns; the process must survive it.
    QTest::newRow("terminate while computing") << QStringLiteral("computing");
}

// Termination must pass through the guard (the process would abort if the guard swallowed the
// forced unwinding) and must not be reported as a crash.
void TestTUKThread::terminationIsNotACrash()
{
    QFETCH(QString, how);
    const bool computing = how == QLatin1String("computing");
    struct Flags
    {
        std::atomic<bool> release{false};
        std::atomic<bool> unwound{false};
        std::atomic<int> finished{0};
    };
    auto flags = std::make_shared<Flags>();
    struct SetOnUnwind
    {
        std::shared_ptr<Flags> flags;
        ~SetOnUnwind() { flags->unwound = true; }
    };

    auto worker = std::make_unique<Worker>();
    worker->work = [flags, computing] {
        SetOnUnwind guard{flags};
        while (computing && !flags->release)
            std::this_thread::yield(); // not a cancellation point
        while (!computing)
            ::pause(); // a cancellation point
    };
    // Counted on the worker's thread: a queued delivery could outlive this test function.
    connect(
        worker.get(), &QThread::finished, worker.get(), [flags] { ++flags->finished; },
        Qt::DirectConnection);
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->started, 30000);

    if (how == QLatin1String("stopRuning")) {
        worker->stopRuning();
    } else if (how == QLatin1String("delete")) {
        worker.reset(); // returns only once the thread is gone
    } else {
        worker->terminate();
        flags->release = true;
        QVERIFY(worker->wait(30000));
    }
    QCOMPARE(flags->finished.load(), 1);
    QVERIFY(flags->unwound);
    if (worker) {
        QVERIFY(worker->isFinished());
        QCOMPARE(bool(worker->workReturned), computing);
        worker->stopRuning(); // not running any more: returns at once
    }
    QVERIFY(takeCrashLines().isEmpty());
}

void TestTUKThread::faultOnOtherThreadsStillKills_data()
{
    // The row names the child's mode: null write on an unguarded thread, division by zero on the
    // main thread, SIGSEGV sent to a guarded thread, a handler installed before the library's.
    QTest::addColumn<int>("status"); // the exit code, or minus the signal that killed the child
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("other-thread-segv") << -SIGSEGV << QByteArray("trapped\n");
    QTest::newRow("main-thread-fpe") << -SIGFPE << QByteArray("trapped\n");
    QTest::newRow("signal-to-guarded") << -SIGSEGV << QByteArray("trapped\n");
    QTest::newRow("previous-handler") << 42 << QByteArray("trapped\nprevious handler ran\n");
    // A handler installed after the guard's and passing signals back to it: the next guard goes
    // in front of it again, and an unguarded fault reaches it once, then the default action.
    QTest::newRow("later-chaining-handler")
        << -SIGSEGV << QByteArray("trapped\ntrapped again\nlater handler ran\n");
    // A fault in a slot of an event loop run by the work, in a process of its own: the abandoned
    // loop leaks (so the leak checker is off for this child), and GLib complains ("assertion
    // 'source != NULL' failed") when the thread's dispatcher goes away. Later loops still run.
    QTest::newRow("event-loop-fault") << 0 << QByteArray("trapped\nlater loop ran\n");
}

// Every child first lets a guarded thread fault (trapped: it prints "trapped"), then meets a fault
// the guard must not take; it must end the way it would without the library. A child that is
// still alive at the end of its program exits with 0 (and says so on standard error).
void TestTUKThread::faultOnOtherThreadsStillKills()
{
    const QString mode = QString::fromLatin1(QTest::currentDataTag());
    QFETCH(int, status);
    QFETCH(QByteArray, output);

    tuktest::ChildProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Under AddressSanitizer the child's faults would end in its report and exit code 1; leave
    // the four signals to their default action instead.
    QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    asan += QStringLiteral(":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0");
    if (mode == QLatin1String("event-loop-fault"))
        asan += QStringLiteral(":detect_leaks=0");
    env.insert(QStringLiteral("ASAN_OPTIONS"), asan);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(QStringLiteral(TUKTEST_FAULT_CHILD), {mode});
    QVERIFY2(child.waitForFinished(60000), qPrintable(child.errorString()));

    const QByteArray err = child.readAllStandardError();
    QCOMPARE(child.readAllStandardOutput(), output);
    // On Unix a crashed child's exit code is the signal that ended it.
    QCOMPARE(child.exitStatus(), status < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY2(child.exitCode() == qAbs(status), qPrintable(QStringLiteral("exit code %1, stderr: %2")
                                                              .arg(child.exitCode())
                                                              .arg(QString::fromLocal8Bit(err))));
}

QTEST_GUILESS_MAIN(TestTUKThread)
#include "tst_tukthread.moc"
