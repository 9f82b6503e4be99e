// TUKThread as a host uses it: through the shared library only.
#include <TUKCloudUtils/TUKThread.h>

#include "FaultHelpers.h"
#include "TukTestEnv.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QMutex>
#include <QProcessEnvironment>
#include <QTimer>
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

// Collects the crash-report lines the library writes to its logging category; any other message
// goes on to the test framework.
class CrashLog
{
public:
    static void install()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tukcloudutils.thread.debug=true"));
        s_previous = qInstallMessageHandler(&CrashLog::handle);
    }
    static QStringList take()
    {
        QMutexLocker lock(&s_mutex);
        QStringList lines = s_lines;
        s_lines.clear();
        return lines;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (context.category && qstrcmp(context.category, "tukcloudutils.thread") == 0) {
            QMutexLocker lock(&s_mutex);
            s_lines << text;
            return;
        }
        s_previous(type, context, text);
    }
    static QtMessageHandler s_previous;
    static QMutex s_mutex;
    static QStringList s_lines;
};
QtMessageHandler CrashLog::s_previous = nullptr;
QMutex CrashLog::s_mutex;
QStringList CrashLog::s_lines;

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

    void crashEndsThreadQuietly_data();
    void crashEndsThreadQuietly();
    void crashWhileNaming();
    void normalWorkReportsNothing();
    void eightThreadsFaultAtOnce();
    void objectNameIsMostDerivedClass();
    void terminationIsNotACrash_data();
    void terminationIsNotACrash();
    void terminateWhileComputing();
    void faultOnOtherThreadsStillKills_data();
    void faultOnOtherThreadsStillKills();

private:
    // Starts the thread and waits until finished() has reached this (the main) thread.
    bool runToEnd(TUKThread& thread);
};

void TestTUKThread::initTestCase()
{
    CrashLog::install();
}

void TestTUKThread::init()
{
    CrashLog::take();
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

void TestTUKThread::crashEndsThreadQuietly_data()
{
    QTest::addColumn<std::function<void()>>("work");
    QTest::newRow("throws std::exception")
        << std::function<void()>([] { throw std::runtime_error("boom"); });
    QTest::newRow("throws a non-std type") << std::function<void()>([] { throw 42; });
    QTest::newRow("writes through null") << std::function<void()>(tuktest::writeThroughNull);
    QTest::newRow("divides by zero") << std::function<void()>(tuktest::divideByZero);
    QTest::newRow("overflows its stack") << std::function<void()>([] { tuktest::overflowStack(); });
}

void TestTUKThread::crashEndsThreadQuietly()
{
    QFETCH(std::function<void()>, work);
    // Twice: the same object can be started again after a crash.
    Worker worker;
    for (int round = 0; round < 2; ++round) {
        worker.work = work;
        worker.workReturned = false;
        QVERIFY(runToEnd(worker));
        QVERIFY(!worker.workReturned);
        QCOMPARE(CrashLog::take(), QStringList{QStringLiteral("Worker: ") + kRunCrash});
    }
}

// A crash in setThreadName() is caught too; the name is then the class name.
void TestTUKThread::crashWhileNaming()
{
    NameCrasher worker;
    QVERIFY(runToEnd(worker));
    QVERIFY(!worker.started);
    QCOMPARE(CrashLog::take(), QStringList{QStringLiteral("NameCrasher: ") + kRunCrash});
}

void TestTUKThread::normalWorkReportsNothing()
{
    Worker worker;
    bool ran = false;
    worker.work = [&ran] {
        ran = true;
    };
    QVERIFY(runToEnd(worker));
    QVERIFY(ran);
    QVERIFY(worker.workReturned);
    QVERIFY(CrashLog::take().isEmpty());
}

// Each thread must land back in its own guard, also when all fault at the same moment.
void TestTUKThread::eightThreadsFaultAtOnce()
{
    constexpr int kThreads = 8;
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
            switch (i % 3) {
            case 0:
                tuktest::writeThroughNull();
                break;
            case 1:
                tuktest::divideByZero();
                break;
            default:
                tuktest::overflowStack();
            }
        };
        connect(w.get(), &QThread::finished, this, [&finishedSeen] { ++finishedSeen; });
        workers.push_back(std::move(w));
    }
    for (auto& w : workers)
        w->start();
    QTRY_COMPARE_WITH_TIMEOUT(finishedSeen, kThreads, 60000);
    for (auto& w : workers) {
        QVERIFY(w->isFinished());
        QVERIFY(!w->workReturned);
    }
    QStringList lines = CrashLog::take();
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
    QVERIFY(CrashLog::take().isEmpty());
}

void TestTUKThread::terminationIsNotACrash_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("QThread::terminate") << QStringLiteral("terminate");
    QTest::newRow("stopRuning") << QStringLiteral("stopRuning");
    QTest::newRow("delete while running") << QStringLiteral("delete");
}

// Termination must pass through the guard (the process would abort if the guard swallowed the
// forced unwinding) and must not be reported as a crash.
void TestTUKThread::terminationIsNotACrash()
{
    QFETCH(QString, how);
    struct Flags
    {
        std::atomic<bool> unwound{false};
        std::atomic<bool> finished{false};
    };
    auto flags = std::make_shared<Flags>();
    struct SetOnUnwind
    {
        std::shared_ptr<Flags> flags;
        ~SetOnUnwind() { flags->unwound = true; }
    };

    auto worker = std::make_unique<Worker>();
    worker->work = [flags] {
        SetOnUnwind guard{flags};
        for (;;)
            ::pause(); // a cancellation point
    };
    connect(
        worker.get(), &QThread::finished, worker.get(), [flags] { flags->finished = true; },
        Qt::DirectConnection);
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->started, 30000);

    if (how == QLatin1String("terminate")) {
        worker->terminate();
        QVERIFY(worker->wait(30000));
    } else if (how == QLatin1String("stopRuning")) {
        worker->stopRuning();
    } else {
        worker.reset(); // returns only once the thread is gone
    }
    QVERIFY(flags->finished);
    QVERIFY(flags->unwound);
    if (worker) {
        QVERIFY(worker->isFinished());
        QVERIFY(!worker->workReturned);
        worker->stopRuning(); // not running any more: returns at once
    }
    QVERIFY(CrashLog::take().isEmpty());
}

// On Linux a termination takes effect only where the thread may be cancelled. One requested while
// the work computes is acted on once the work returns; the process must survive it.
void TestTUKThread::terminateWhileComputing()
{
    Worker worker;
    std::atomic<bool> release{false};
    worker.work = [&release] {
        while (!release.load())
            std::this_thread::yield(); // not a cancellation point
    };
    int finishedSeen = 0;
    connect(&worker, &QThread::finished, this, [&finishedSeen] { ++finishedSeen; });
    worker.start();
    QTRY_VERIFY_WITH_TIMEOUT(worker.started, 30000);
    worker.terminate();
    release = true;
    QVERIFY(worker.wait(30000));
    QTRY_COMPARE_WITH_TIMEOUT(finishedSeen, 1, 30000);
    QVERIFY(worker.workReturned);
    QVERIFY(CrashLog::take().isEmpty());
}

void TestTUKThread::faultOnOtherThreadsStillKills_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("killed");
    QTest::addColumn<int>("status"); // the signal when killed, else the exit code

    QTest::newRow("null write on an unguarded thread")
        << QStringLiteral("other-thread-segv") << true << int(SIGSEGV);
    QTest::newRow("division by zero on the main thread")
        << QStringLiteral("main-thread-fpe") << true << int(SIGFPE);
    QTest::newRow("SIGSEGV sent to a guarded thread")
        << QStringLiteral("signal-to-guarded") << true << int(SIGSEGV);
    QTest::newRow("handler installed before the library's")
        << QStringLiteral("previous-handler") << false << 42;
    // A handler installed after the guard's and passing signals back to it: the next guard goes
    // in front of it again, and an unguarded fault reaches it once, then the default action.
    QTest::newRow("chaining handler installed after the library's")
        << QStringLiteral("later-chaining-handler") << true << int(SIGSEGV);
    // Not a fault the guard must leave alone, but one whose leftovers are best seen in a process
    // of its own: the abandoned event loop leaks (so the leak checker is off for this child), and
    // GLib reports the half-dispatched state ("g_source_unref_internal: assertion 'source !=
    // NULL' failed") when the thread's dispatcher goes away. Later threads still run their loops.
    QTest::newRow("fault in a slot of an event loop run by the work")
        << QStringLiteral("event-loop-fault") << false << 0;
}

// Every child first lets a guarded thread fault (trapped: it prints "trapped"), then meets a fault
// the guard must not take; it must end the way it would without the library. A child that is
// still alive at the end of its program exits with 0 (and says so on standard error).
void TestTUKThread::faultOnOtherThreadsStillKills()
{
    QFETCH(QString, mode);
    QFETCH(bool, killed);
    QFETCH(int, status);

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

    const QByteArray out = child.readAllStandardOutput();
    const QByteArray err = child.readAllStandardError();
    QVERIFY2(out.startsWith("trapped\n"), out.constData());
    // On Unix a crashed child's exit code is the signal that ended it.
    QCOMPARE(child.exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY2(child.exitCode() == status, qPrintable(QStringLiteral("exit code %1, stderr: %2")
                                                        .arg(child.exitCode())
                                                        .arg(QString::fromLocal8Bit(err))));
    if (mode == QLatin1String("previous-handler"))
        QVERIFY(out.contains("previous handler ran"));
    if (mode == QLatin1String("event-loop-fault"))
        QVERIFY2(out.endsWith("later loop ran\n"), out.constData());
    if (mode == QLatin1String("later-chaining-handler"))
        QCOMPARE(out, QByteArray("trapped\ntrapped again\nlater handler ran\n"));
}

QTEST_GUILESS_MAIN(TestTUKThread)
#include "tst_tukthread.moc"
