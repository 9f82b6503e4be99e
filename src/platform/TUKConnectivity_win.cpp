#include "platform/TUKConnectivity_p.h"

// The Windows backend answers with WinINet and the COM Network List Manager:
// - anyConnectionUp(): InternetGetConnectedState(&flags, 0);
// - checkEndpoint(url), Windows Vista and later: CoInitialize(nullptr) and
//   CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_IUnknown, ...) once when
//   the backend is created on the probe thread, then at each check QueryInterface for
//   IID_INetworkListManager and get_IsConnectedToInternet (VARIANT_TRUE is on line; a failing
//   HRESULT is off line; no Network List Manager object at all is on line);
// - checkEndpoint(url), earlier Windows: InternetSetOptionW(nullptr,
//   INTERNET_OPTION_CONNECT_TIMEOUT, 1000 ms) and then
//   InternetCheckConnectionW(url, FLAG_ICC_FORCE_CONNECTION, 0).
#error "The Windows connectivity backend (WinINet / Network List Manager) is not written yet."
