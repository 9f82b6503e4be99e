#ifndef TUKCLOUDUTILS_TUKFAULTGUARD_P_H
#define TUKCLOUDUTILS_TUKFAULTGUARD_P_H

// Runs a piece of work so that nothing it does can take the process down with it: every C++
// exception and every hardware fault the work raises on the calling thread ends the work and is
// reported to the caller instead. Plain C++, no Qt: the subsystems call this and never touch the
// operating system's fault machinery themselves.
//
// Linux: faults are trapped with one process-wide signal handler for SIGSEGV, SIGBUS, SIGFPE and
// SIGILL (SA_SIGINFO | SA_ONSTACK) and a per-thread jump buffer. Each time a guard opens, the
// handler is put (back) in front of whatever is installed. It only acts when the fault was raised
// by the processor (si_code > 0) on a thread that is inside a guard at that moment; every other
// case (a fault on another thread, a signal sent with kill() or raise()) is passed on to the
// handler that was installed behind ours, or given its default action, so it still ends the
// process as it would have without us.
// While a guard is open, the thread has an alternate signal stack (its own one if it had one
// already, else one made for the guard), so a stack overflow is trapped too.
//
// What a trapped fault leaves behind: the work is abandoned at the faulting instruction and
// control jumps straight back to the guard. No destructor between the two runs, so memory the work
// allocated leaks, files it opened stay open and locks it held stay locked (a fault inside the
// memory allocator or while holding a mutex can make later calls hang). The C++ runtime's
// per-thread exception bookkeeping is put back as it was when the guard opened. Treat whatever the
// work touched as lost.
//
// Forced unwinding (pthread_cancel, which QThread::terminate() uses on Linux) is never caught: it
// passes through the guard, which tidies up after itself on the way.
//
// Windows: a structured exception frame takes the place of the signal handler. It takes every
// structured exception raised on the calling thread below it, whether the processor raised it (an
// access violation, a division by zero, a stack overflow: the stack's guard page is put back
// afterwards, so the next overflow is trapped too) or software did (RaiseException, a C++
// exception of another runtime); all of them end as Outcome::Fault. C++ exceptions of our own
// runtime are caught before they reach the frame and end as Outcome::Exception (a build with
// MSVC's /EHa catches faults there too and reports them so). Nothing is installed process-wide:
// the frame exists while the guard runs, nested guards are nested frames, faults on other threads
// are none of its business, and unwinding that only passes through (an outer handler's, a
// longjmp) is left alone; QThread::terminate() (TerminateThread) unwinds nothing at all. What a
// trapped fault leaves behind is the same as on Linux: the frames
// between the fault and the guard are unwound without their destructors (compilers only plan
// clean-up for calls that may throw), and with g++ and clang the C++ runtime's per-thread
// exception bookkeeping is put back as it was when the guard opened.

namespace tuk {
namespace platform {

struct FaultGuardResult
{
    enum class Outcome
    {
        Completed, // the work returned normally
        Exception, // a C++ exception left the work
        Fault      // the processor raised a fault while the work ran
    };

    Outcome outcome = Outcome::Completed;
    // Outcome::Fault: the signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL), its si_code and the faulting
    // address as the kernel reported them. Windows: the exception code (EXCEPTION_ACCESS_VIOLATION
    // ...); for an access violation or in-page error 0 read, 1 write or 8 execute and the data
    // address, otherwise 0 and the address where the exception was raised. Zero / null otherwise.
    int signal = 0;
    int code = 0;
    const void* address = nullptr;

    bool completed() const { return outcome == Outcome::Completed; }
};

using GuardedWork = void (*)(void* context);

// Runs work(context) under the guard on the calling thread and says how it ended. Guards nest:
// a fault is reported by the innermost open guard of the faulting thread. Lets only forced
// unwinding through (see above).
FaultGuardResult runFaultGuarded(GuardedWork work, void* context);

// The guard of one connectivity check, which runs on the probe thread of every host that loads
// the library. Windows: the same structured exception guard as runFaultGuarded (it keeps no
// process-wide state). Linux: C++ exceptions only, so that merely loading the library installs no
// signal handler. Lets only forced unwinding through.
FaultGuardResult runProbeGuarded(GuardedWork work, void* context);

// Convenience forms for any callable taking no arguments (a lambda, for instance).
template <typename Callable> FaultGuardResult runFaultGuarded(Callable& work)
{
    return runFaultGuarded([](void* context) { (*static_cast<Callable*>(context))(); }, &work);
}
template <typename Callable> FaultGuardResult runProbeGuarded(Callable& work)
{
    return runProbeGuarded([](void* context) { (*static_cast<Callable*>(context))(); }, &work);
}

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKFAULTGUARD_P_H
