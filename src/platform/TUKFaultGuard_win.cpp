#include "platform/TUKFaultGuard_p.h"

// Structured exception handling is still to come here: a guard whose filter accepts every
// exception, hardware faults included (reported as Outcome::Fault with the exception code in
// `signal`). Until then only C++ exceptions are trapped.

namespace tuk {
namespace platform {

FaultGuardResult runFaultGuarded(GuardedWork work, void* context)
{
    FaultGuardResult result;
    try {
        work(context);
    } catch (...) {
        result.outcome = FaultGuardResult::Outcome::Exception;
    }
    return result;
}

FaultGuardResult runProbeGuarded(GuardedWork work, void* context)
{
    return runFaultGuarded(work, context);
}

} // namespace platform
} // namespace tuk
