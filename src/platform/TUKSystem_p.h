#ifndef TUKCLOUDUTILS_TUKSYSTEM_P_H
#define TUKCLOUDUTILS_TUKSYSTEM_P_H

// What the rest of the library needs to know about the process and the module it is loaded as.
// Plain C++, no Qt.
namespace tuk {
namespace platform {

// True while the operating system unloads this library under a lock that every thread needs in
// order to end. A thread of ours that has to be stopped at that moment is terminated: asked to
// finish, it would wait for that lock for ever.
// Windows: from DLL_PROCESS_DETACH on (the loader lock is held while the module's objects are
// destroyed). Linux: always false (dlclose() lets threads end).
bool threadsCannotEndNow();

// TUKThread's two crash labels, "线程执行崩溃" (run crashed) and "线程终止崩溃" (stop crashed), as
// the bytes the library keeps and the way to read them.
struct CrashLabels
{
    const char* run;
    const char* stop;
    bool utf8; // false: the system's local 8-bit code page (GBK bytes, read right under 936)
};
CrashLabels threadCrashLabels();

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKSYSTEM_P_H
