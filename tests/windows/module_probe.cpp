// Linked into a DLL with TUKSystem_win.cpp: hands the test the unloading flag now and at unload.
#include "platform/TUKSystem_p.h"

static int g_ignored = 0, *g_atUnload = &g_ignored;
static struct ReportAtUnload
{
    ~ReportAtUnload() { *g_atUnload = tuk::platform::threadsCannotEndNow(); }
} g_reportAtUnload;

extern "C" __declspec(dllexport) int tukwinWatchUnload(int* atUnload)
{
    g_atUnload = atUnload;
    return tuk::platform::threadsCannotEndNow();
}
