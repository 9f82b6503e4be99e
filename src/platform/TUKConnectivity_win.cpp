#include "platform/TUKConnectivity_p.h"
#include "platform/TUKFaultGuard_p.h"
#include "platform/TUKWideText_win_p.h"

#include <windows.h>

#include <netlistmgr.h>
#include <objbase.h>
#include <versionhelpers.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>

namespace tuk {
namespace platform {
namespace {

// MinGW's header names the getter IsConnectedToInternet, the Windows SDK's
// get_IsConnectedToInternet (the same slot of the interface); whichever the header declares is
// called.
template <typename Manager>
auto askIsConnectedToInternet(Manager* manager, VARIANT_BOOL* connected, int)
    -> decltype(manager->get_IsConnectedToInternet(connected))
{
    return manager->get_IsConnectedToInternet(connected);
}
template <typename Manager>
auto askIsConnectedToInternet(Manager* manager, VARIANT_BOOL* connected, long)
    -> decltype(manager->IsConnectedToInternet(connected))
{
    return manager->IsConnectedToInternet(connected);
}

// Forced connections whose threads still run, most of them abandoned at their deadline. Each
// holds a thread and little else, but a network that swallows connection attempts must not pile
// them up: beyond this many a check answers false without starting another.
const int kMaxRunningForcedChecks = 8;
std::atomic<int> g_runningForcedChecks{0};

// One forced connection, shared by the probe thread and the thread that makes the call. The last
// of the two to let go frees it.
struct ForcedCheck
{
    std::wstring url;
    DWORD timeoutMs = 0;
    HMODULE module = nullptr; // our module, held while the thread runs our code
    bool answer = false;      // written before the thread ends; read only once it has ended
    std::atomic<int> holders{2};

    void release()
    {
        if (--holders == 0)
            delete this;
    }
};

DWORD WINAPI runForcedCheck(void* parameter)
{
    auto* check = static_cast<ForcedCheck*>(parameter);
    bool answer = true;
    auto call = [check, &answer] {
        DWORD timeout = check->timeoutMs;
        ::InternetSetOptionW(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
        answer =
            ::InternetCheckConnectionW(check->url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
    };
    // A fault inside the call answers "on line", as the probe's own guard does.
    if (!runProbeGuarded(call).completed())
        answer = true;
    check->answer = answer;
    const HMODULE module = check->module;
    check->release();
    --g_runningForcedChecks;
    if (module != nullptr)
        ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

class WindowsConnectivity final : public ConnectivityBackend
{
public:
    explicit WindowsConnectivity(const ConnectivityOptions& options);
    ~WindowsConnectivity() override;

    bool anyConnectionUp() override;
    bool checkEndpoint(const std::string& url) override;

private:
    bool askNetworkListManager();
    bool forcedConnection(const std::string& url);

    DWORD m_timeoutMs;
    bool m_useNetworkListManager;
    bool m_uninitializeCom = false;
    IUnknown* m_networkListManager = nullptr;
};

WindowsConnectivity::WindowsConnectivity(const ConnectivityOptions& options)
    : m_timeoutMs(static_cast<DWORD>(std::max(options.connectTimeoutMs, 0)))
{
    using Check = ConnectivityOptions::EndpointCheck;
    m_useNetworkListManager =
        options.endpointCheck == Check::SystemVerdict ||
        (options.endpointCheck == Check::Automatic && ::IsWindowsVistaOrGreater());
    if (!m_useNetworkListManager)
        return;
    // This thread becomes a single-threaded apartment (unless it already is in another one, which
    // serves as well). A failed creation leaves no object: every check then answers true.
    m_uninitializeCom = SUCCEEDED(::CoInitialize(nullptr));
    ::CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                       reinterpret_cast<void**>(&m_networkListManager));
}

WindowsConnectivity::~WindowsConnectivity()
{
    if (m_networkListManager != nullptr)
        m_networkListManager->Release();
    if (m_uninitializeCom)
        ::CoUninitialize();
}

bool WindowsConnectivity::anyConnectionUp()
{
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE;
}

bool WindowsConnectivity::checkEndpoint(const std::string& url)
{
    return m_useNetworkListManager ? askNetworkListManager() : forcedConnection(url);
}

bool WindowsConnectivity::askNetworkListManager()
{
    if (m_networkListManager == nullptr)
        return true; // no answer to be had: the gate alone decides
    INetworkListManager* manager = nullptr;
    if (FAILED(m_networkListManager->QueryInterface(IID_INetworkListManager,
                                                    reinterpret_cast<void**>(&manager))))
        return false;
    VARIANT_BOOL connected = VARIANT_FALSE;
    const HRESULT result = askIsConnectedToInternet(manager, &connected, 0);
    manager->Release();
    return SUCCEEDED(result) && connected == VARIANT_TRUE;
}

bool WindowsConnectivity::forcedConnection(const std::string& url)
{
    if (++g_runningForcedChecks > kMaxRunningForcedChecks) {
        --g_runningForcedChecks;
        return false;
    }
    auto* check = new ForcedCheck;
    check->url = wideFromUtf8(url);
    check->timeoutMs = m_timeoutMs;
    // The thread may outlive this call, and the host may unload the library meanwhile: the thread
    // holds a reference to our module and lets go of it as it ends.
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&runForcedCheck), &check->module);
    const HANDLE thread = ::CreateThread(nullptr, 0, runForcedCheck, check, 0, nullptr);
    if (thread == nullptr) {
        if (check->module != nullptr)
            ::FreeLibrary(check->module);
        delete check;
        --g_runningForcedChecks;
        return false;
    }
    const bool ended = ::WaitForSingleObject(thread, m_timeoutMs) == WAIT_OBJECT_0;
    const bool answer = ended && check->answer;
    ::CloseHandle(thread);
    check->release();
    return answer;
}

} // namespace

std::unique_ptr<ConnectivityBackend> createConnectivityBackend(const ConnectivityOptions& options)
{
    return std::make_unique<WindowsConnectivity>(options);
}

} // namespace platform
} // namespace tuk
