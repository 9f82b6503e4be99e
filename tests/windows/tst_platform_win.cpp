// The Windows side of src/platform, built without Qt and run under wine: one case per run, in the
// network namespace TUKWIN_NET names (offline: loopback only; online: a default route too).
#include "platform/TUKConnectivity_p.h"
#include "platform/TUKFaultGuard_p.h"
#include "platform/TUKUrlOpener_p.h"

#include <winsock2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <thread>
#include <tuple>

using namespace tuk::platform;
using Outcome = FaultGuardResult::Outcome;
using EndpointCheck = ConnectivityOptions::EndpointCheck;

namespace {

std::atomic<int> g_failures{0};
#define CHECK(c, row)                                                                              \
    ((c) || (std::fprintf(stderr, "line %d: FAILED %s [%s]\n", __LINE__, #c, row), ++g_failures, 0))

// The gate and the Network List Manager answer for the whole machine, whatever the URL; the
// automatic choice takes the Network List Manager on the Windows version wine reports.
void systemVerdict()
{
    const bool online = std::string(std::getenv("TUKWIN_NET")) == "online";
    for (EndpointCheck which : {EndpointCheck::SystemVerdict, EndpointCheck::Automatic}) {
        auto backend = createConnectivityBackend({{}, 1000, which});
        const char* row = which == EndpointCheck::Automatic ? "automatic" : "system verdict";
        CHECK(backend->anyConnectionUp() == online, row);
        CHECK(backend->checkEndpoint("http://127.0.0.1:9/") == online, row);
    }
}

// A loopback port listened on with this backlog. Backlog 0 gets a pending connection, so that the
// kernel leaves further attempts unanswered.
int loopbackPort(int backlog)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    auto* a = reinterpret_cast<sockaddr*>(&address);
    int length = sizeof address;
    bind(s, a, length);
    listen(s, backlog);
    getsockname(s, a, &length);
    if (backlog == 0)
        connect(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), a, length);
    return ntohs(address.sin_port);
}

// The forced connection: a listener answers, port 9 (nothing listens in our namespace) refuses, and
// a port that never answers (WinINet under wine would wait two minutes) is given up at our own
// deadline.
void forcedConnection()
{
    const int deadline = 1000;
    const std::tuple<const char*, int, bool, int> rows[] = {
        {"listener", loopbackPort(SOMAXCONN), true, 0},
        {"closed", 9, false, 0},
        {"no answer", loopbackPort(0), false, deadline - 100}};
    auto backend = createConnectivityBackend({{}, deadline, EndpointCheck::ForcedConnection});
    for (const auto& [name, port, expected, minMs] : rows) {
        const ULONGLONG start = GetTickCount64();
        const bool up = backend->checkEndpoint("http://127.0.0.1:" + std::to_string(port) + "/");
        const int ms = int(GetTickCount64() - start);
        CHECK(up == expected && ms >= minMs && ms < deadline + 4000, name);
    }
}

// Every operand comes through a volatile, so the compiler cannot see the fault coming.
volatile int g_zero = 0;
volatile int* volatile g_null = nullptr;
struct FaultsWhenDestroyed
{
    ~FaultsWhenDestroyed() { *g_null = 1; }
};

const std::tuple<const char*, void (*)(), Outcome, DWORD> kGuardRows[] = {
    {"returns", [] {}, Outcome::Completed, 0},
    {"throws", [] { throw 0; }, Outcome::Exception, 0},
    {"null write", [] { *g_null = 1; }, Outcome::Fault, EXCEPTION_ACCESS_VIOLATION},
    {"divide by zero", [] { g_zero /= g_zero; }, Outcome::Fault, EXCEPTION_INT_DIVIDE_BY_ZERO},
    {"stack overflow", [] { [[maybe_unused]] volatile char frame[1 << 24] = {}; }, Outcome::Fault,
     EXCEPTION_STACK_OVERFLOW},
    {"raised", [] { RaiseException(0xE0544B57, 0, 0, nullptr); }, Outcome::Fault, 0xE0544B57},
    {"fault in a destructor run by a throw", [] { FaultsWhenDestroyed(), throw 0; }, Outcome::Fault,
     EXCEPTION_ACCESS_VIOLATION},
    {"inner guard takes its own fault",
     [] {
         if (runFaultGuarded([](void*) { *g_null = 1; }, nullptr).outcome != Outcome::Fault)
             throw 0;
     },
     Outcome::Completed, 0},
};

// Five threads run every row three times at once, through both guards: a trapped fault leaves the
// thread able to trap the next one, and no exception behind.
void faultGuard()
{
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread threads[5];
    for (std::thread& thread : threads)
        thread = std::thread([start] {
            WaitForSingleObject(start, 30000);
            for (int round = 0; round < 3; ++round) {
                for (auto [name, work, outcome, code] : kGuardRows) {
                    const auto r = round == 1 ? runProbeGuarded(work) : runFaultGuarded(work);
                    const int write = code == EXCEPTION_ACCESS_VIOLATION; // and to address 0
                    CHECK(r.outcome == outcome && DWORD(r.signal) == code && r.code == write, name);
                    CHECK(!write || !r.address, name);
                    CHECK(std::uncaught_exceptions() == 0 && !std::current_exception(), name);
                }
            }
        });
    SetEvent(start);
    for (std::thread& thread : threads)
        thread.join();
}

const wchar_t kSlot[] = L"\\\\.\\mailslot\\tukwin-opener";

// This program, copied over iexplore.exe, sends the command line the shell gave it to our
// mailslot (see main): the text follows the program, unchanged.
void urlLauncher()
{
    wchar_t program[MAX_PATH], system[MAX_PATH], line[4096];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    CopyFileW(program, (std::wstring(system) + L"\\iexplore.exe").c_str(), FALSE);
    HANDLE slot = CreateMailslotW(kSlot, 0, 20000, nullptr);
    SetEnvironmentVariableW(L"TUKWIN_STAND_IN", L"1");
    const std::pair<const char*, const wchar_t*> rows[] = {
        {"http://127.0.0.1:9/a b?x=\"q\"&y=1", L"http://127.0.0.1:9/a b?x=\"q\"&y=1"},
        {"tuk-unknown:\xC3\xBC/\xE6\x97\xA5", L"tuk-unknown:\u00FC/\u65E5"}};
    for (const auto& [utf8, wide] : rows) {
        DWORD read = 0;
        CHECK(startUrlOpener(utf8) && ReadFile(slot, line, sizeof line, &read, nullptr), utf8);
        const std::wstring text(line, CharLowerBuffW(line, read / 2));
        const std::wstring want = L"iexplore.exe\" " + std::wstring(wide);
        CHECK(text.size() > want.size() && text.substr(text.size() - want.size()) == want, utf8);
    }
}

// The module loads (its DllMain shrugs off the refused DisableThreadLibraryCalls), is not
// unloading while loaded, tells its own objects so as they are destroyed, and unloads.
void moduleLifetime()
{
    HMODULE module = LoadLibraryW(L"tukwin_module.dll");
    auto watchUnload = reinterpret_cast<int (*)(int*)>(
        reinterpret_cast<void*>(GetProcAddress(module, "tukwinWatchUnload")));
    int atUnload = -1;
    if (CHECK(module && watchUnload && watchUnload(&atUnload) == 0, "loaded"))
        CHECK(FreeLibrary(module) && atUnload == 1 && !GetModuleHandleW(L"tukwin_module.dll"),
              "unloaded");
}

} // namespace

int main(int argc, char** argv)
{
    if (GetEnvironmentVariableW(L"TUKWIN_STAND_IN", nullptr, 0)) { // started by urlLauncher
        const wchar_t* line = GetCommandLineW();
        HANDLE to = CreateFileW(kSlot, GENERIC_WRITE, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        DWORD written = 0;
        return WriteFile(to, line, DWORD(lstrlenW(line) * 2), &written, nullptr) ? 0 : 1;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const std::map<std::string, void (*)()> cases = {{"system", systemVerdict},
                                                     {"forced", forcedConnection},
                                                     {"guard", faultGuard},
                                                     {"launcher", urlLauncher},
                                                     {"module", moduleLifetime}};
    cases.at(argc > 1 ? argv[1] : "")(); // an unknown case ends the program
    return g_failures ? 1 : 0;
}
