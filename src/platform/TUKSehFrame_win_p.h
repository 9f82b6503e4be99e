#ifndef TUKCLOUDUTILS_TUKSEHFRAME_WIN_P_H
#define TUKCLOUDUTILS_TUKSEHFRAME_WIN_P_H

// The part of the Windows fault guard that differs between compilers: a stack frame whose
// structured exception handler takes every exception raised below it on the calling thread.
// MSVC and clang write it with __try/__except (TUKSehFrame_win_msc.cpp). g++ has no __try; it
// gets a small frame written in assembly with a handler of our own (TUKSehFrame_win_gnu.cpp).
// sources_win.cmake picks one of the two.

#include "platform/TUKFaultGuard_p.h"

#include <windows.h>

namespace tuk {
namespace platform {

// What ended the work, taken from the exception record before the frames below were unwound.
struct SehException
{
    DWORD code = 0;                // EXCEPTION_ACCESS_VIOLATION, EXCEPTION_INT_DIVIDE_BY_ZERO, ...
    ULONG_PTR detail = 0;          // access violation and in-page error: 0 read, 1 write, 8 execute
    const void* address = nullptr; // same two: the data address; otherwise where it was raised
};

inline void recordSehException(const EXCEPTION_RECORD& record, SehException* exception)
{
    exception->code = record.ExceptionCode;
    const bool dataAccess = (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                             record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
                            record.NumberParameters >= 2;
    exception->detail = dataAccess ? record.ExceptionInformation[0] : 0;
    exception->address = dataAccess ? reinterpret_cast<const void*>(record.ExceptionInformation[1])
                                    : record.ExceptionAddress;
}

// Calls work(context) inside the frame. Returns true when the work returned, false when a
// structured exception raised below the frame ended it: *exception then says which, and every
// frame between has been unwound (only what the compilers planned for unwinding runs there; code
// that cannot throw in C++ terms has no clean-up, so a fault generally skips its destructors).
// Unwinding that merely passes through the frame (an outer handler's, a longjmp) is left alone.
bool callInSehFrame(GuardedWork work, void* context, SehException* exception);

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKSEHFRAME_WIN_P_H
