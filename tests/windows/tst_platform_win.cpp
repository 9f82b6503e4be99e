// The Windows side of src/platform, built without Qt and run under wine. One case per run:
// tst_platform_win system|forced|guard|launcher|module. TUKWIN_NET names the network namespace
// the case runs in: "offline" (loopback only) or "online" (a link with a default route).
#include "platform/TUKConnectivity_p.h"
#include "platform/TUKFaultGuard_p.h"
#include "platform/TUKUrlOpener_p.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

using namespace tuk::platform;
using Outcome = FaultGuardResult::Outcome;
using EndpointCheck = ConnectivityOptions::EndpointCheck;

namespace {

std::atomic<int> g_failures{0};

bool check(bool ok, const char* what, int line, const std::string& row)
{
    if (!ok && ++g_failures)
        std::fprintf(stderr, "line %d: FAILED: %s [%s]\n", line, what, row.c_str());
    return ok;
}
#define CHECK(cond, row) check((cond), #cond, __LINE__, (row))

std::string url(int port)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    return address;
}

SOCKET listenOnLoopback(int backlog, int* port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(0);
    int length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), length);
    listen(s, backlog);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return s;
}

// The gate and the Network List Manager answer for the whole machine, whatever the URL; the
// automatic choice takes the Network List Manager on the Windows version wine reports.
void systemVerdict()
{
    char net[16] = {};
    GetEnvironmentVariableA("TUKWIN_NET", net, sizeof net);
    const bool online = std::string(net) == "online";
    int closedPort = 0;
    closesocket(listenOnLoopback(1, &closedPort));
    for (EndpointCheck which : {EndpointCheck::SystemVerdict, EndpointCheck::Automatic}) {
        const std::string row =
            std::string(net) + (which == EndpointCheck::Automatic ? " automatic" : " system");
        ConnectivityOptions options;
        options.endpointCheck = which;
        auto backend = createConnectivityBackend(options);
        CHECK(backend->anyConnectionUp() == online, row);
        CHECK(backend->checkEndpoint(url(closedPort)) == online, row);
    }
}

// The forced connection: a listener answers, a closed port refuses, and a port whose backlog is
// full (the kernel drops further connection attempts; WinINet under wine would wait two minutes)
// is given up at the deadline.
void forcedConnection()
{
    int listening = 0, closed = 0, full = 0;
    listenOnLoopback(SOMAXCONN, &listening);
    closesocket(listenOnLoopback(1, &closed));
    listenOnLoopback(0, &full);
    for (int i = 0; i < 4; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        const sockaddr_in address = loopback(full);
        connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ConnectivityOptions options;
    options.endpointCheck = EndpointCheck::ForcedConnection;
    const int deadlineMs = options.connectTimeoutMs;
    auto backend = createConnectivityBackend(options);
    const std::tuple<const char*, int, bool> rows[] = {
        {"listener", listening, true}, {"closed", closed, false}, {"no answer", full, false}};
    for (const auto& [name, port, expected] : rows) {
        const auto start = std::chrono::steady_clock::now();
        bool answer = !expected;
        const std::string target = url(port);
        auto probe = [&] {
            answer = backend->checkEndpoint(target);
        };
        CHECK(runProbeGuarded(probe).completed(), name);
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        std::printf("%s: %d after %lld ms\n", name, answer, ms);
        CHECK(answer == expected && ms < deadlineMs + 4000, name);
        CHECK(port != full || ms >= deadlineMs - 100, name); // given up, not refused
    }
}

// Every operand comes through a volatile, so the compiler cannot see the fault coming.
__attribute__((noinline)) void writeThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) int overflowStack(volatile char* caller, unsigned depth)
{
    static volatile unsigned bound = ~0u;
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    frame[sizeof frame - 1] = caller ? caller[0] : 0;
    return depth == bound ? 0 : overflowStack(frame, depth + 1) + frame[depth % sizeof frame];
}

struct FaultsWhenDestroyed
{
    ~FaultsWhenDestroyed() { writeThroughNull(); }
};

const struct
{
    const char* name;
    std::function<void()> work;
    Outcome outcome;
    DWORD code;
} kGuardRows[] = {
    {"returns", [] {}, Outcome::Completed, 0},
    {"throws", [] { throw std::runtime_error("boom"); }, Outcome::Exception, 0},
    {"null write", writeThroughNull, Outcome::Fault, EXCEPTION_ACCESS_VIOLATION},
    {"divide by zero",
     [] {
         volatile int one = 1, zero = 0;
         one = one / zero;
     },
     Outcome::Fault, EXCEPTION_INT_DIVIDE_BY_ZERO},
    {"stack overflow", [] { overflowStack(nullptr, 0); }, Outcome::Fault, EXCEPTION_STACK_OVERFLOW},
    {"raised", [] { RaiseException(0xE0544B57, 0, 0, nullptr); }, Outcome::Fault, 0xE0544B57},
    {"fault in a destructor run by a throw",
     [] {
         FaultsWhenDestroyed f;
         throw std::runtime_error("unwinding");
     },
     Outcome::Fault, EXCEPTION_ACCESS_VIOLATION},
    {"inner guard takes its own fault",
     [] {
         auto fault = [] {
             writeThroughNull();
         };
         if (runFaultGuarded(fault).outcome != Outcome::Fault)
             throw 0;
     },
     Outcome::Completed, 0},
};

// Five threads run every row three times at once, through both guards: a trapped fault leaves
// the thread able to trap the next one, and no exception behind.
void faultGuard()
{
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([start] {
            WaitForSingleObject(start, 30000);
            for (int round = 0; round < 3; ++round) {
                for (const auto& row : kGuardRows) {
                    auto work = [&row] {
                        row.work();
                    };
                    const FaultGuardResult r =
                        round == 1 ? runProbeGuarded(work) : runFaultGuarded(work);
                    const bool violation = row.code == EXCEPTION_ACCESS_VIOLATION;
                    CHECK(r.outcome == row.outcome && DWORD(r.signal) == row.code, row.name);
                    // An access violation: a write (1) to address 0.
                    CHECK(r.code == int(violation) && (!violation || !r.address), row.name);
                    CHECK(std::uncaught_exceptions() == 0 && !std::current_exception(), row.name);
                }
            }
        });
    }
    SetEvent(start);
    for (std::thread& thread : threads)
        thread.join();
}

std::wstring thisProgram()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

// This program, copied over iexplore.exe, records the command line the shell gave it (see main):
// the text follows the program, unchanged.
void urlLauncher()
{
    wchar_t system[MAX_PATH], temp[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    GetTempPathW(MAX_PATH, temp);
    CHECK(CopyFileW(thisProgram().c_str(), (std::wstring(system) + L"\\iexplore.exe").c_str(), 0),
          "stand-in");
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    const std::wstring record = std::wstring(temp) + L"tukwin-opener-" + pid + L".txt";
    const std::wstring eventName = L"Local\\tukwin-opener-" + pid;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    SetEnvironmentVariableW(L"TUKWIN_OPENER_RECORD", record.c_str());
    SetEnvironmentVariableW(L"TUKWIN_OPENER_EVENT", eventName.c_str());
    const std::pair<const char*, const wchar_t*> rows[] = {
        {"http://127.0.0.1:9/a b?x=\"q\"&y=1", L"http://127.0.0.1:9/a b?x=\"q\"&y=1"},
        {"tuk-unknown:\xC3\xBC/\xE6\x97\xA5", L"tuk-unknown:\u00FC/\u65E5"}};
    for (const auto& [utf8, wide] : rows) {
        ResetEvent(done);
        CHECK(startUrlOpener(utf8) && WaitForSingleObject(done, 30000) == WAIT_OBJECT_0, utf8);
        std::wstring line(4096, L'\0');
        HANDLE file = CreateFileW(record.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
        DWORD read = 0;
        ReadFile(file, &line[0], static_cast<DWORD>(line.size() * 2), &read, nullptr);
        CloseHandle(file);
        DeleteFileW(record.c_str());
        line.resize(read / 2);
        for (wchar_t& c : line)
            c = static_cast<wchar_t>(std::towlower(c));
        const std::wstring expected = std::wstring(L"iexplore.exe\" ") + wide;
        CHECK(line.size() >= expected.size() &&
                  line.compare(line.size() - expected.size(), expected.size(), expected) == 0,
              utf8);
    }
}

// The module loads (its DllMain shrugs off the refused DisableThreadLibraryCalls), is not
// unloading while loaded, tells its own objects so as they are destroyed, and unloads.
void moduleLifetime()
{
    const std::wstring program = thisProgram();
    const std::wstring path = program.substr(0, program.rfind(L'\\')) + L"\\tukwin_module.dll";
    HMODULE module = LoadLibraryW(path.c_str());
    if (!CHECK(module != nullptr, "load"))
        return;
    auto watchUnload = reinterpret_cast<int (*)(int*)>(
        reinterpret_cast<void*>(GetProcAddress(module, "tukwinWatchUnload")));
    int atUnload = -1;
    if (!CHECK(watchUnload && watchUnload(&atUnload) == 0, "loaded"))
        return;
    CHECK(FreeLibrary(module) && atUnload == 1, "unloading");
    CHECK(GetModuleHandleW(path.c_str()) == nullptr, "unloaded");
}

} // namespace

int main(int argc, char** argv)
{
    // Started by the shell as the stand-in iexplore.exe: record the command line and say so.
    wchar_t record[MAX_PATH], event[MAX_PATH];
    if (GetEnvironmentVariableW(L"TUKWIN_OPENER_RECORD", record, MAX_PATH) &&
        GetEnvironmentVariableW(L"TUKWIN_OPENER_EVENT", event, MAX_PATH)) {
        const wchar_t* line = GetCommandLineW();
        HANDLE file = CreateFileW(record, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * 2), &written, nullptr);
        CloseHandle(file);
        return SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, event)) ? 0 : 1;
    }
    const std::pair<const char*, void (*)()> cases[] = {{"system", systemVerdict},
                                                        {"forced", forcedConnection},
                                                        {"guard", faultGuard},
                                                        {"launcher", urlLauncher},
                                                        {"module", moduleLifetime}};
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    for (const auto& [name, run] : cases) {
        if (argc > 1 && std::string(argv[1]) == name) {
            run();
            std::printf("%s: %s\n", name, g_failures ? "FAILED" : "passed");
            return g_failures ? 1 : 0;
        }
    }
    std::fprintf(stderr, "usage: tst_platform_win system|forced|guard|launcher|module\n");
    return 2;
}
