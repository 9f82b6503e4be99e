#include "platform/TUKFaultGuard_p.h"

#ifndef __linux__

namespace tuk {
namespace platform {

FaultGuardResult runFaultGuarded(GuardedWork work, void* context)
{
    FaultGuardResult result;
#ifdef _WIN32
    // Structured exception handling goes here: a __try/__except block whose filter accepts every
    // exception, hardware faults included (they then report Outcome::Fault with the exception
    // code in `signal`). Until it is written, only C++ exceptions are trapped.
#endif
    try {
        work(context);
    } catch (...) {
        result.outcome = FaultGuardResult::Outcome::Exception;
    }
    return result;
}

} // namespace platform
} // namespace tuk

#endif // !__linux__
