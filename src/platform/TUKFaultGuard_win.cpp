#include "platform/TUKFaultGuard_p.h"
#include "platform/TUKSehFrame_win_p.h"

#include <malloc.h>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

namespace tuk {
namespace platform {
namespace {

// A fault while an exception is in flight or being handled abandons it, and the C++ runtime's
// per-thread record of exceptions would go on pointing into the unwound frames (a later throw on
// the thread would then misbehave). Runtimes of the Itanium C++ ABI (g++, clang for the GNU
// target) keep that record where we can put it back as it was when the guard opened; MSVC's
// runtime keeps one of another shape, left alone here.
class ExceptionRecordKeeper
{
public:
#if __has_include(<cxxabi.h>)
    ExceptionRecordKeeper() : m_saved(*globals()) {}
    void restore()
    {
        *globals() = m_saved;
    }

private:
    struct EhGlobals
    {
        void* caughtExceptions;
        unsigned int uncaughtExceptions;
    };
    static EhGlobals* globals()
    {
        return reinterpret_cast<EhGlobals*>(abi::__cxa_get_globals());
    }
    EhGlobals m_saved;
#else
    void restore() {}
#endif
};

struct GuardedCall
{
    GuardedWork work;
    void* context;
    bool threw;
};

// C++ exceptions are caught here, nearer to the work than the structured exception frame, so that
// they end as Outcome::Exception and never reach the frame (g++ and clang raise them as structured
// exceptions too). Kept out of the frame's function: __try and C++ try cannot share a function.
void callCatchingExceptions(void* parameter)
{
    auto* call = static_cast<GuardedCall*>(parameter);
    try {
        call->work(call->context);
    } catch (...) {
        call->threw = true;
    }
}

} // namespace

FaultGuardResult runFaultGuarded(GuardedWork work, void* context)
{
    GuardedCall call{work, context, false};
    ExceptionRecordKeeper exceptionRecord;
    SehException exception;
    FaultGuardResult result;
    if (callInSehFrame(callCatchingExceptions, &call, &exception)) {
        if (call.threw)
            result.outcome = FaultGuardResult::Outcome::Exception;
        return result;
    }
    // The overflow used up the stack's guard page; without a new one the next overflow on this
    // thread would end the process (on Windows; wine puts one back by itself).
    if (exception.code == EXCEPTION_STACK_OVERFLOW)
        _resetstkoflw();
    exceptionRecord.restore();
    result.outcome = FaultGuardResult::Outcome::Fault;
    result.signal = static_cast<int>(exception.code);
    result.code = static_cast<int>(exception.detail);
    result.address = exception.address;
    return result;
}

FaultGuardResult runProbeGuarded(GuardedWork work, void* context)
{
    return runFaultGuarded(work, context);
}

} // namespace platform
} // namespace tuk
