#include "platform/TUKSehFrame_win_p.h"

// Compiled by MSVC and by clang (which needs -fms-extensions for the GNU target). The function
// holding __try has no C++ object with a destructor and no C++ try: neither compiler allows them
// together.

namespace tuk {
namespace platform {
namespace {

int takeEveryException(const EXCEPTION_POINTERS* pointers, SehException* exception)
{
    recordSehException(*pointers->ExceptionRecord, exception);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

bool callInSehFrame(GuardedWork work, void* context, SehException* exception)
{
    __try {
        work(context);
    } __except (takeEveryException(GetExceptionInformation(), exception)) {
        return false;
    }
    return true;
}

} // namespace platform
} // namespace tuk
