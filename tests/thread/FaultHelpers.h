#ifndef TUKTEST_FAULTHELPERS_H
#define TUKTEST_FAULTHELPERS_H

// Deliberate processor faults for the guard's tests. Every operand comes through a volatile, so
// the compiler cannot see the fault coming and replace it by something else (a trap instruction
// for a known null store, a folded comparison for a division by a known zero). The sanitizers are
// kept out: the faults are the point, and their reports would only hide them.

#include <climits>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#define TUKTEST_RAW_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))

namespace tuktest {

TUKTEST_RAW_FAULT inline void writeThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

TUKTEST_RAW_FAULT inline void divideByZero()
{
    volatile int dividend = 1;
    volatile int divisor = 0;
    volatile int quotient = dividend / divisor;
    (void)quotient;
}

TUKTEST_RAW_FAULT inline void illegalInstruction()
{
    __builtin_trap();
}

// Recurses until the thread's stack is gone. The frame is used after the call returns, so the
// call cannot become a jump; the depth bound is never reached.
TUKTEST_RAW_FAULT inline int overflowStack(volatile char* caller = nullptr, unsigned depth = 0)
{
    static volatile unsigned bound = UINT_MAX;
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    frame[sizeof frame - 1] = caller ? caller[0] : 0;
    if (depth == bound)
        return 0;
    return overflowStack(frame, depth + 1) + frame[depth % sizeof frame];
}

// Allocations the calling thread makes between these two calls are left out of the leak check:
// a test that abandons objects on purpose (by faulting while they live) marks them so.
inline void pauseLeakCheck()
{
#ifdef __SANITIZE_ADDRESS__
    __lsan_disable();
#endif
}

inline void resumeLeakCheck()
{
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
}

} // namespace tuktest

#endif // TUKTEST_FAULTHELPERS_H
