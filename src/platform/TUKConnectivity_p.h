#ifndef TUKCLOUDUTILS_TUKCONNECTIVITY_P_H
#define TUKCLOUDUTILS_TUKCONNECTIVITY_P_H

// The operating system's view of the network, as the connectivity probe needs it. Plain C++, no
// Qt in the interface: the probe worker asks two questions and never sees how they are answered.
//
// Linux:
// - anyConnectionUp(): true when at least one network interface is up and running, is not a
//   loopback interface and carries an IPv4 or IPv6 address that is not link-local (169.254/16 and
//   fe80::/10 come by themselves on any link).
// - checkEndpoint(url): when NetworkManager owns its name on the bus, its machine-wide
//   "Connectivity" state answers and the URL plays no part: full (4) is true; none (1), portal (2)
//   and limited (3) are false. When NetworkManager is not there, does not know (unknown, 0) or its
//   state cannot be read, a TCP connection is forced to the URL's host on the URL's port (80 when
//   none is given, 443 for an https URL without a port); name resolution and connect together are
//   bounded by ConnectivityOptions::connectTimeoutMs. Nothing is sent over the connection: it is
//   closed as soon as it is established.
//   The bus is the system bus (DBUS_SYSTEM_BUS_ADDRESS when set, else the standard socket) unless
//   ConnectivityOptions::networkManagerBus names another one. When that bus is a local socket
//   that does not exist, D-Bus is not touched at all; a bus that cannot be reached is silent and
//   counts as "NetworkManager is not there". The NetworkManager service is never started by the
//   question (no D-Bus auto-start).
//
// Windows:
// - anyConnectionUp(): WinINet's InternetGetConnectedState.
// - checkEndpoint(url), Vista and later: the COM Network List Manager's machine-wide answer
//   (IsConnectedToInternet; the URL plays no part). The object is created once with the backend;
//   when it cannot be created every check answers true (the gate alone decides), a failing call
//   answers false.
// - checkEndpoint(url), earlier Windows: InternetCheckConnectionW with FLAG_ICC_FORCE_CONNECTION
//   after setting WinINet's process-wide connect time-out to ConnectivityOptions::connectTimeoutMs.
//   WinINet does not always honour that time-out (wine ignores it and waits for the kernel's
//   connect time-out, about two minutes), so the call runs on a thread of its own and the check
//   answers false once connectTimeoutMs has passed; the abandoned call ends in its own time.
// Both checks run under the structured exception guard of the probe (TUKFaultGuard_p.h); a fault
// inside the forced connection's own thread answers true, as the guard does.
//
// A backend belongs to the thread that created it (on Windows it initialises COM there) and is
// used and destroyed on that thread only.

#include <memory>
#include <string>

namespace tuk {
namespace platform {

struct ConnectivityOptions
{
    // D-Bus address of the bus on which NetworkManager is looked for; empty means the system bus.
    std::string networkManagerBus;
    // Upper bound of one forced connection (name resolution and connect together) and of one
    // question to NetworkManager, in milliseconds.
    int connectTimeoutMs = 1000;
    // Which check checkEndpoint() makes on Windows. Automatic follows the Windows version (the
    // Network List Manager from Vista on, the forced connection before); the other two ask for
    // one check whatever the version. Linux ignores it.
    enum class EndpointCheck
    {
        Automatic,
        SystemVerdict,
        ForcedConnection
    };
    EndpointCheck endpointCheck = EndpointCheck::Automatic;
};

class ConnectivityBackend
{
public:
    virtual ~ConnectivityBackend() = default;

    // Is any network connection up at all? The gate of every probe.
    virtual bool anyConnectionUp() = 0;

    // Is the machine on line, judged through the endpoint \a url (UTF-8 text)?
    virtual bool checkEndpoint(const std::string& url) = 0;
};

// The backend of the platform the library was built for.
std::unique_ptr<ConnectivityBackend>
createConnectivityBackend(const ConnectivityOptions& options = ConnectivityOptions());

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKCONNECTIVITY_P_H
