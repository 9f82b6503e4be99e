#include "platform/TUKSystem_p.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<bool> g_unloading{false};
} // namespace

// The module's own load hook: it only turns off per-thread attach and detach notifications, so
// that threads of the host cost the library nothing. A module linked with a C runtime that keeps
// per-thread data cannot turn them off (every module linked with MinGW's runtime has a TLS
// directory, and the call fails); that failure changes nothing and is ignored. Both runtimes call
// this before they destroy the module's objects at unload, so the flag is up by then; from the
// detach on, the loader lock is held. C linkage: the runtimes look for it by its plain name.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        ::DisableThreadLibraryCalls(instance);
    else if (reason == DLL_PROCESS_DETACH)
        g_unloading = true;
    return TRUE;
}

namespace tuk {
namespace platform {

bool threadsCannotEndNow()
{
    return g_unloading.load();
}

// GBK bytes, read with the local 8-bit code page (right under code page 936).
CrashLabels threadCrashLabels()
{
    return {"\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB1\xC0\xC0\xA3",
            "\xCF\xDF\xB3\xCC\xD6\xD5\xD6\xB9\xB1\xC0\xC0\xA3", false};
}

} // namespace platform
} // namespace tuk
