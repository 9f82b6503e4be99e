// Linked with TUKSystem_win.cpp into a DLL: shows the test the unloading flag while the module is
// loaded and, at unload, as the module's own objects are destroyed.
#include "platform/TUKSystem_p.h"

namespace {
int* g_atUnload = nullptr;
struct ReportAtUnload
{
    ~ReportAtUnload()
    {
        if (g_atUnload != nullptr)
            *g_atUnload = tuk::platform::threadsCannotEndNow();
    }
} g_reportAtUnload;
} // namespace

extern "C" __declspec(dllexport) int tukwinWatchUnload(int* atUnload)
{
    g_atUnload = atUnload;
    return tuk::platform::threadsCannotEndNow();
}
