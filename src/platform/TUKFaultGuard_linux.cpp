#include "platform/TUKFaultGuard_p.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <forward_list>
#include <mutex>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tuk {
namespace platform {
namespace {

const int kTrappedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// One open guard on one thread. The handler fills in the fault fields and jumps back to env.
struct GuardFrame
{
    sigjmp_buf env;
    GuardFrame* enclosing = nullptr;
    volatile int signal = 0;
    volatile int code = 0;
    void* volatile address = nullptr;
};

// The innermost open guard of this thread. The signal handler reads it, so it must be a plain
// load: the initial-exec model never calls into the dynamic loader (which may allocate) to reach
// the variable.
__thread GuardFrame* t_innermostGuard __attribute__((tls_model("initial-exec"))) = nullptr;

// Where a signal we do not trap goes, per signal number: the disposition that was in place when
// our handler last went in. A record is never changed once published (the handler may be reading
// it on another thread) and never freed; a new one is published when our handler goes back in
// front of one installed after it.
std::atomic<const struct sigaction*> g_chain[NSIG];
// The disposition found the first time our handler went in (also never freed).
const struct sigaction* g_original[NSIG];
std::mutex g_installMutex;
// Set when the library unloads: from then on our handler is never put in again.
bool g_unloaded = false;

// How deep this thread is in passing a signal on. A handler we passed a signal to may pass it
// back to us (it saw ours as its predecessor); we must not hand it to that handler again. A
// handler that jumps out instead of returning leaves the count behind: trapping a fault and
// opening a guard start it from zero again.
__thread int t_forwardDepth __attribute__((tls_model("initial-exec"))) = 0;

void onSignal(int sig, siginfo_t* info, void* context);

bool isOurs(const struct sigaction& sa)
{
    return (sa.sa_flags & SA_SIGINFO) != 0 && sa.sa_sigaction == onSignal;
}

void resetToDefault(int sig)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

// Hands a signal we do not trap to `target`, as the kernel would have delivered it to that
// disposition without us; null stands for the default action.
void forward(int sig, siginfo_t* info, void* context, const struct sigaction* target)
{
    const bool fromKernel = info != nullptr && info->si_code > 0;
    const bool custom = target != nullptr && !isOurs(*target) &&
                        ((target->sa_flags & SA_SIGINFO) != 0 ||
                         (target->sa_handler != SIG_DFL && target->sa_handler != SIG_IGN));
    if (custom) {
        // With the handler's own mask and one-shot flag.
        if (target->sa_flags & SA_RESETHAND)
            resetToDefault(sig);
        pthread_sigmask(SIG_BLOCK, &target->sa_mask, nullptr);
        if (target->sa_flags & SA_SIGINFO)
            target->sa_sigaction(sig, info, context);
        else
            target->sa_handler(sig);
        return;
    }
    if (target != nullptr && target->sa_handler == SIG_IGN && !fromKernel)
        return;
    // Default action (the kernel never lets a processor fault be ignored either). The signal is
    // blocked while this handler runs, so the re-raised one is delivered, and ends the process
    // with this signal, as soon as the handler returns.
    resetToDefault(sig);
    raise(sig);
}

void onSignal(int sig, siginfo_t* info, void* context)
{
    GuardFrame* frame = t_innermostGuard;
    if (frame != nullptr && info != nullptr && info->si_code > 0) {
        t_innermostGuard = frame->enclosing;
        t_forwardDepth = 0; // the jump leaves any handler we were passing a signal to
        frame->signal = sig;
        frame->code = info->si_code;
        frame->address = info->si_addr;
        siglongjmp(frame->env, 1);
    }
    // Passed on to the handler behind ours; if that one passes it back, to the disposition found
    // before ours ever went in; if that comes back too, to the default action.
    const struct sigaction* target = nullptr;
    if (t_forwardDepth == 0)
        target = g_chain[sig].load(std::memory_order_acquire);
    else if (t_forwardDepth == 1 && g_original[sig] != g_chain[sig].load(std::memory_order_acquire))
        target = g_original[sig];
    ++t_forwardDepth;
    forward(sig, info, context, target);
    --t_forwardDepth;
}

// Puts our handler in front for the four signals, unless it is there already. Called each time a
// guard opens, so a handler the host installs later (a crash reporter, a test framework) goes
// behind ours instead of silently disabling the guard; it still gets every signal we do not trap.
void ensureHandlerInFront()
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    if (g_unloaded)
        return;
    static std::forward_list<struct sigaction>* records = new std::forward_list<struct sigaction>;
    for (int sig : kTrappedSignals) {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0 || isOurs(current))
            continue;
        // Publish where signals go on before ours goes in, so a fault on another thread in
        // between never finds a half-written record.
        records->push_front(current);
        const struct sigaction* previous = &records->front();
        if (g_original[sig] == nullptr)
            g_original[sig] = previous;
        g_chain[sig].store(previous, std::memory_order_release);
        struct sigaction ours = {};
        ours.sa_sigaction = onSignal;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        sigaction(sig, &ours, nullptr);
    }
}

// Puts the dispositions behind ours back when the library is unloaded, as long as ours is in
// front, so no signal reaches a handler in unmapped code.
struct HandlerUninstaller
{
    ~HandlerUninstaller()
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        g_unloaded = true;
        for (int sig : kTrappedSignals) {
            const struct sigaction* previous = g_chain[sig].load(std::memory_order_acquire);
            struct sigaction current;
            if (previous != nullptr && sigaction(sig, nullptr, &current) == 0 && isOurs(current))
                sigaction(sig, previous, nullptr);
        }
    }
} g_uninstaller;

// Gives the thread an alternate signal stack for the lifetime of a guard unless it has one
// already, so the handler can still run when the thread's own stack is exhausted.
class AltSignalStack
{
public:
    AltSignalStack()
    {
        stack_t current;
        if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE))
            return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const long wanted = std::max<long>(64 * 1024, 4 * sysconf(_SC_SIGSTKSZ));
        const size_t usable = (static_cast<size_t>(wanted) + page - 1) / page * page;
        void* mem = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mem == MAP_FAILED)
            return; // stack overflows then end the process; other faults are still trapped
        // The lowest page stays inaccessible, so an overflow of this stack faults instead of
        // writing over a neighbouring mapping.
        mprotect(mem, page, PROT_NONE);
        stack_t ours = {};
        ours.ss_sp = static_cast<char*>(mem) + page;
        ours.ss_size = usable;
        if (sigaltstack(&ours, &m_previous) != 0) {
            munmap(mem, usable + page);
            return;
        }
        m_mem = mem;
        m_length = usable + page;
    }
    ~AltSignalStack()
    {
        if (m_mem == nullptr)
            return;
        sigaltstack(&m_previous, nullptr);
        munmap(m_mem, m_length);
    }
    AltSignalStack(const AltSignalStack&) = delete;
    AltSignalStack& operator=(const AltSignalStack&) = delete;

private:
    void* m_mem = nullptr;
    size_t m_length = 0;
    stack_t m_previous = {};
};

// The C++ runtime's per-thread exception record (Itanium C++ ABI). A fault while an exception is
// in flight or being handled would leave it pointing into the abandoned frames.
struct EhGlobals
{
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

EhGlobals* ehGlobals()
{
    return reinterpret_cast<EhGlobals*>(abi::__cxa_get_globals());
}

// Makes a frame the thread's innermost guard for its lifetime, also when forced unwinding passes.
class ActiveGuard
{
public:
    explicit ActiveGuard(GuardFrame& frame) : m_frame(frame)
    {
        frame.enclosing = t_innermostGuard;
        t_innermostGuard = &frame;
    }
    ~ActiveGuard() { t_innermostGuard = m_frame.enclosing; }
    ActiveGuard(const ActiveGuard&) = delete;
    ActiveGuard& operator=(const ActiveGuard&) = delete;

private:
    GuardFrame& m_frame;
};

// Runs the work and says whether it returned (true) or let a C++ exception out (false). Forced
// unwinding (thread cancellation) must run to its end and is passed on. The forced-unwind handler
// binds a reference to an exception that has no object; the sanitizer's null-reference check
// would report that binding, so it is off for this function.
__attribute__((no_sanitize_undefined)) bool callCatchingExceptions(GuardedWork work, void* context)
{
    try {
        work(context);
    } catch (abi::__forced_unwind&) {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer does not see cancellation unwind the callers' frames and would keep their
        // guard zones; later code on this stack (the thread's exit) would then trip over them.
        __asan_handle_no_return();
#endif
        throw;
    } catch (...) {
        return false;
    }
    return true;
}

} // namespace

FaultGuardResult runFaultGuarded(GuardedWork work, void* context)
{
    ensureHandlerInFront();
    t_forwardDepth = 0;
    AltSignalStack altStack;
    const EhGlobals savedEh = *ehGlobals();
    GuardFrame frame;
    ActiveGuard active(frame);

    // Saving the signal mask matters: the handler runs with the signal blocked, and the jump must
    // unblock it again or the next fault on this thread could not be trapped.
    if (sigsetjmp(frame.env, 1) == 0) {
        FaultGuardResult result;
        if (!callCatchingExceptions(work, context))
            result.outcome = FaultGuardResult::Outcome::Exception;
        return result;
    }

    *ehGlobals() = savedEh;
    FaultGuardResult result;
    result.outcome = FaultGuardResult::Outcome::Fault;
    result.signal = frame.signal;
    result.code = frame.code;
    result.address = frame.address;
    return result;
}

FaultGuardResult runProbeGuarded(GuardedWork work, void* context)
{
    FaultGuardResult result;
    if (!callCatchingExceptions(work, context))
        result.outcome = FaultGuardResult::Outcome::Exception;
    return result;
}

} // namespace platform
} // namespace tuk
