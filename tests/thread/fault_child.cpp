// Child program of tst_tukthread: a guarded thread faults (and must survive), then the program
// meets a fault the guard must leave alone. Reaching the end of main() is the failure.
#include <TUKCloudUtils/TUKThread.h>

#include "FaultHelpers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

class GuardedFault : public TUKThread
{
    Q_OBJECT
protected:
    void doWork() override { tuktest::writeThroughNull(); }
};

class GuardedSelfSignal : public TUKThread
{
    Q_OBJECT
protected:
    void doWork() override { pthread_kill(pthread_self(), SIGSEGV); }
};

// Runs an event loop whose only event faults, then (in a second thread) one that quits normally.
class LoopFault : public TUKThread
{
    Q_OBJECT
protected:
    void doWork() override
    {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [] { tuktest::writeThroughNull(); });
        loop.exec();
    }
};

class LoopQuit : public TUKThread
{
    Q_OBJECT
public:
    std::atomic<bool> quit{false};

protected:
    void doWork() override
    {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
        quit = loop.exec() == 0;
    }
};

static void previousHandler(int, siginfo_t*, void*)
{
    static const char text[] = "previous handler ran\n";
    ssize_t written = write(STDOUT_FILENO, text, sizeof text - 1);
    (void)written;
    _exit(42);
}

// A handler installed after the library's that passes every signal back to its predecessor, as
// crash reporters do.
static struct sigaction g_beforeLater;

static void laterHandler(int sig, siginfo_t* info, void* context)
{
    static const char text[] = "later handler ran\n";
    ssize_t written = write(STDOUT_FILENO, text, sizeof text - 1);
    (void)written;
    g_beforeLater.sa_sigaction(sig, info, context);
}

static bool runGuarded(TUKThread& thread)
{
    thread.start();
    return thread.wait(60000);
}

int main(int argc, char** argv)
{
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    QCoreApplication app(argc, argv);
    const char* mode = argc > 1 ? argv[1] : "";

    if (std::strcmp(mode, "previous-handler") == 0) {
        struct sigaction sa = {};
        sa.sa_sigaction = previousHandler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, nullptr);
    }

    GuardedFault guarded;
    LoopFault loopFault;
    const bool eventLoop = std::strcmp(mode, "event-loop-fault") == 0;
    if (!runGuarded(eventLoop ? static_cast<TUKThread&>(loopFault) : guarded))
        return 3;
    std::printf("trapped\n");
    std::fflush(stdout);

    if (std::strcmp(mode, "later-chaining-handler") == 0) {
        struct sigaction sa = {};
        sa.sa_sigaction = laterHandler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &g_beforeLater);
        if (!(g_beforeLater.sa_flags & SA_SIGINFO))
            return 4;       // the library's handler should have been the one in place
        GuardedFault again; // must still be trapped, with the later handler behind the guard's
        if (!runGuarded(again))
            return 3;
        std::printf("trapped again\n");
        std::fflush(stdout);
    }

    if (std::strcmp(mode, "other-thread-segv") == 0 ||
        std::strcmp(mode, "later-chaining-handler") == 0 ||
        std::strcmp(mode, "previous-handler") == 0) {
        std::thread(tuktest::writeThroughNull).join();
    } else if (std::strcmp(mode, "main-thread-fpe") == 0) {
        tuktest::divideByZero();
    } else if (std::strcmp(mode, "signal-to-guarded") == 0) {
        GuardedSelfSignal selfSignal;
        runGuarded(selfSignal);
    } else if (eventLoop) {
        LoopQuit later;
        if (runGuarded(later) && later.quit)
            std::printf("later loop ran\n");
    }
    std::fprintf(stderr, "survived mode '%s'\n", mode);
    return 0;
}

#include "fault_child.moc"
