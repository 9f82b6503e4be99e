// The fault guard of the platform layer, driven directly, and TUKThread, which runs its work under
// it; child processes meet the faults the guard must leave alone.
#include <TUKCloudUtils/TUKThread.h>

#include "TestSupport.h"
#include "platform/TUKFaultGuard_p.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>

using tuk::platform::runFaultGuarded;
using Outcome = tuk::platform::FaultGuardResult::Outcome;
using Work = std::function<void()>;

// Deliberate processor faults, through volatiles so that the compiler cannot see them coming;
// the sanitizers are kept out, the faults are the point.
#define RAW_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))
RAW_FAULT void writeThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}
RAW_FAULT void divideByZero()
{
    volatile int dividend = 1, divisor = 0, quotient = dividend / divisor;
    (void)quotient;
}
// Recurses until the stack is gone; the frame is used after the call, so it stays a call.
RAW_FAULT int overflowStack(volatile char* caller = nullptr, unsigned depth = 0)
{
    static volatile unsigned bound = UINT_MAX;
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    frame[sizeof frame - 1] = caller ? caller[0] : 0;
    return depth == bound ? 0 : overflowStack(frame, depth + 1) + frame[depth % sizeof frame];
}

// What a child process does before its first guard, and after a guarded fault; what it says goes
// to standard output.
struct Scene
{
    static inline struct sigaction behind; // what the last handler installed found
    static void say(const char* text) { (void)!::write(STDOUT_FILENO, text, std::strlen(text)); }
    static void install(void (*handler)(int, siginfo_t*, void*))
    {
        struct sigaction sa = {};
        sa.sa_sigaction = handler;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &sa, &behind);
    }
    static void guardedFault()
    {
        Work fault = writeThroughNull;
        say(runFaultGuarded(fault).outcome == Outcome::Fault ? "trapped\n" : "missed\n");
    }
    static void none() {}
    static void ignore() { std::signal(SIGSEGV, SIG_IGN); }
    static void elsewhere() { std::thread(writeThroughNull).join(); }
    static void sentToGuarded()
    {
        Work kill = [] {
            pthread_kill(pthread_self(), SIGSEGV);
        };
        std::thread([&] { runFaultGuarded(kill); }).join();
    }
    static void before() // a handler that ends the process its own way
    {
        install([](int, siginfo_t*, void*) { say("handler before\n"), _exit(42); });
    }
    static void after() // one installed later that passes signals back, as crash reporters do
    {
        install([](int sig, siginfo_t* info, void* context) {
            say("handler after\n");
            behind.sa_sigaction(sig, info, context);
        });
        guardedFault();
        elsewhere();
    }
};

// A worker whose work the test chooses.
class Worker : public TUKThread
{
    Q_OBJECT
public:
    Work work;
    bool returned = false;

protected:
    void doWork() override { work(), returned = true; }
};

struct Ending
{
    const char* name;
    Work work;
    Outcome outcome;
    int signal, code; // code -1: any above 0
};
struct Elsewhere
{
    const char* name;
    void (*before)(), (*after)();
    int status; // the exit code, or minus the signal that ended the process
    QByteArray output;
};
Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(Elsewhere)

class TestThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() // the crash report is a debug message
    {
        QLoggingCategory::setFilterRules("tukcloudutils.thread.debug=true");
    }

    // The guard leaves every other fault to the handler behind it, or the default action: a child
    // process has a guarded fault, then meets such a fault and must end as it would without the
    // library. The next guard goes in front of a handler installed later again; what that one
    // passes back goes to the one found before the guard's. First, before any guard is in.
    void faultsElsewhereStillKill_data()
    {
        const QByteArray trapped = "trapped\n", after = "trapped\ntrapped\nhandler after\n";
        tuktest::addRows<Elsewhere>(
            {{"on another thread", Scene::none, Scene::elsewhere, -SIGSEGV, trapped},
             {"on the main thread", Scene::none, divideByZero, -SIGFPE, trapped},
             {"sent to a guarded thread", Scene::none, Scene::sentToGuarded, -SIGSEGV, trapped},
             {"ignored before", Scene::ignore, Scene::elsewhere, -SIGSEGV, trapped},
             {"ignored, sent", Scene::ignore, [] { ::kill(::getpid(), SIGSEGV); }, 0, trapped},
             {"handler before", Scene::before, Scene::elsewhere, 42, trapped + "handler before\n"},
             {"handler after", Scene::none, Scene::after, -SIGSEGV, after},
             {"handlers before and after", Scene::before, Scene::after, 42,
              after + "handler before\n"}});
    }
    void faultsElsewhereStillKill()
    {
        QFETCH(Elsewhere, row);
        int out[2];
        QVERIFY(::pipe(out) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            for (int sig : {SIGSEGV, SIGFPE})
                std::signal(sig, SIG_DFL); // not the test framework's handler
            row.before(), Scene::guardedFault(), row.after();
            _exit(0);
        }
        ::close(out[1]);
        int status = 0;
        if (!QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG); }, 60000))
            ::kill(child, SIGKILL), ::waitpid(child, &status, 0);
        QFile output;
        QVERIFY(output.open(out[0], QIODevice::ReadOnly, QFile::AutoCloseHandle));
        QCOMPARE(output.readAll(), row.output);
        QCOMPARE(WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), row.status);
    }

    // How work ends, through the guard three times on one new thread (a trapped fault leaves it
    // able to trap the next), then in a TUKThread twice: the crash is reported, the thread
    // finishes normally and can be started again.
    void workEnds_data()
    {
        const auto fault = Outcome::Fault, exception = Outcome::Exception;
        tuktest::addRows<Ending>(
            {{"returns", [] {}, Outcome::Completed, 0, 0},
             {"std::exception", [] { throw std::runtime_error("boom"); }, exception, 0, 0},
             {"null write", writeThroughNull, fault, SIGSEGV, SEGV_MAPERR},
             {"divide by zero", divideByZero, fault, SIGFPE, FPE_INTDIV},
             {"illegal instruction", [] { __builtin_trap(); }, fault, SIGILL, ILL_ILLOPN},
             {"stack overflow", [] { overflowStack(); }, fault, SIGSEGV, -1}});
    }
    void workEnds()
    {
        QFETCH(Ending, row);
        QList<tuk::platform::FaultGuardResult> results;
        std::thread([&] {
            for (int i = 0; i < 3; ++i)
                results << runFaultGuarded(row.work);
        }).join();
        for (const auto& r : qAsConst(results))
            QVERIFY2(r.outcome == row.outcome && r.signal == row.signal &&
                         (row.code < 0 ? r.code > 0 : r.code == row.code),
                     qPrintable(QString::number(r.code)));
        Worker worker;
        worker.work = row.work;
        tuktest::takeMessages();
        for (int round = 0; round < 2; ++round) {
            QObject context; // finished() counted on this thread, as a host sees it
            int finished = 0;
            connect(&worker, &QThread::finished, &context, [&] { ++finished; });
            worker.start();
            QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 30000);
            QCOMPARE(worker.returned, row.outcome == Outcome::Completed);
            QCOMPARE(tuktest::takeMessages(), row.outcome != Outcome::Completed
                                                  ? QStringList{"Worker: 线程执行崩溃"}
                                                  : QStringList());
        }
    }
};

QTEST_GUILESS_MAIN(TestThread)
#include "tst_thread.moc"
