#include "platform/TUKConnectivity_p.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tuk {
namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kNmService = "org.freedesktop.NetworkManager";
const char* const kNmPath = "/org/freedesktop/NetworkManager";
const char* const kDefaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";

// NetworkManager's NMConnectivityState values.
enum NmConnectivity : uint
{
    NmUnknown = 0,
    NmNone = 1,
    NmPortal = 2,
    NmLimited = 3,
    NmFull = 4
};

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The path of a D-Bus address of the form "unix:path=/some/socket[,key=value...]", with its
// %xx escapes decoded; empty for every other form (several addresses, abstract sockets, tcp...).
std::string unixSocketPath(const std::string& address)
{
    if (address.compare(0, 5, "unix:") != 0 || address.find(';') != std::string::npos)
        return std::string();
    std::string rest = address.substr(5);
    std::size_t start = 0;
    while (start <= rest.size()) {
        const std::size_t end = std::min(rest.find(',', start), rest.size());
        const std::string pair = rest.substr(start, end - start);
        if (pair.compare(0, 5, "path=") == 0) {
            const std::string escaped = pair.substr(5);
            std::string path;
            for (std::size_t i = 0; i < escaped.size(); ++i) {
                if (escaped[i] == '%' && i + 2 < escaped.size()) {
                    path += static_cast<char>(
                        std::strtol(escaped.substr(i + 1, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    path += escaped[i];
                }
            }
            return path;
        }
        start = end + 1;
    }
    return std::string();
}

// Link-local addresses (169.254.0.0/16, fe80::/10) come by themselves on any link and say
// nothing about a configured network.
bool isLinkLocal(const sockaddr* address)
{
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) & 0xffff0000u) == 0xa9fe0000u;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr);
    }
    return false;
}

// One name lookup of getaddrinfo_a(), kept on the heap: the resolver's own thread writes into it
// until the lookup ends, even after we stopped waiting for it.
struct Lookup
{
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
};

class LinuxConnectivity final : public ConnectivityBackend
{
public:
    explicit LinuxConnectivity(const ConnectivityOptions& options);
    ~LinuxConnectivity() override;

    bool anyConnectionUp() override;
    bool checkEndpoint(const std::string& url) override;

private:
    enum class NmAnswer
    {
        NoAnswer,
        Online,
        Offline
    };

    NmAnswer askNetworkManager();
    void dropBusConnection();
    bool forcedConnection(const std::string& url);
    addrinfo* resolve(const std::string& host, const std::string& service,
                      Clock::time_point deadline);
    void reapLookups();

    ConnectivityOptions m_options;
    std::string m_busAddress;
    QString m_connectionName;
    bool m_busConnected = false;
    // Lookups that outlived their deadline and could not be cancelled; freed once they end.
    std::vector<Lookup*> m_abandoned;
};

LinuxConnectivity::LinuxConnectivity(const ConnectivityOptions& options) : m_options(options)
{
    if (m_options.connectTimeoutMs < 0)
        m_options.connectTimeoutMs = 0;
    m_busAddress = m_options.networkManagerBus;
    if (m_busAddress.empty()) {
        const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        m_busAddress = (env && *env) ? env : kDefaultSystemBus;
    }
    m_connectionName =
        QStringLiteral("tuk-connectivity-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
}

LinuxConnectivity::~LinuxConnectivity()
{
    dropBusConnection();
    reapLookups();
    // Lookups still running belong to the resolver now; their few bytes are left to it.
}

bool LinuxConnectivity::anyConnectionUp()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool up = false;
    for (const ifaddrs* it = list; it && !up; it = it->ifa_next) {
        const unsigned flags = it->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK))
            continue;
        if (it->ifa_addr && !isLinkLocal(it->ifa_addr) &&
            (it->ifa_addr->sa_family == AF_INET || it->ifa_addr->sa_family == AF_INET6))
            up = true;
    }
    ::freeifaddrs(list);
    return up;
}

bool LinuxConnectivity::checkEndpoint(const std::string& url)
{
    switch (askNetworkManager()) {
    case NmAnswer::Online:
        return true;
    case NmAnswer::Offline:
        return false;
    case NmAnswer::NoAnswer:
        break;
    }
    return forcedConnection(url);
}

LinuxConnectivity::NmAnswer LinuxConnectivity::askNetworkManager()
{
    if (!m_busConnected) {
        // A missing socket means no bus: stay away from D-Bus altogether.
        const std::string path = unixSocketPath(m_busAddress);
        struct stat info;
        if (!path.empty() && ::stat(path.c_str(), &info) != 0)
            return NmAnswer::NoAnswer;
        QDBusConnection bus =
            QDBusConnection::connectToBus(QString::fromStdString(m_busAddress), m_connectionName);
        if (!bus.isConnected()) {
            QDBusConnection::disconnectFromBus(m_connectionName);
            return NmAnswer::NoAnswer;
        }
        m_busConnected = true;
    }

    QDBusConnection bus(m_connectionName);
    QDBusMessage question = QDBusMessage::createMethodCall(
        QLatin1String(kNmService), QLatin1String(kNmPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    question << QString::fromLatin1(kNmService) << QStringLiteral("Connectivity");
    question.setAutoStartService(false);
    const QDBusMessage answer = bus.call(question, QDBus::Block, m_options.connectTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        // Not running, not answering, or the bus went away (then connect afresh next time).
        if (!bus.isConnected())
            dropBusConnection();
        return NmAnswer::NoAnswer;
    }

    const QVariant value = answer.arguments().value(0);
    bool ok = false;
    const uint state = qvariant_cast<QDBusVariant>(value).variant().toUInt(&ok);
    if (!ok)
        return NmAnswer::NoAnswer;
    switch (state) {
    case NmFull:
        return NmAnswer::Online;
    case NmNone:
    case NmPortal:
    case NmLimited:
        return NmAnswer::Offline;
    default:
        return NmAnswer::NoAnswer;
    }
}

void LinuxConnectivity::dropBusConnection()
{
    if (!m_busConnected)
        return;
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_busConnected = false;
}

bool LinuxConnectivity::forcedConnection(const std::string& url)
{
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(m_options.connectTimeoutMs);

    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    const std::string host = parsed.host(QUrl::EncodeUnicode).toStdString();
    if (!parsed.isValid() || host.empty())
        return false;
    const int defaultPort =
        parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    const int port = parsed.port(defaultPort);
    if (port <= 0 || port > 65535)
        return false;

    addrinfo* addresses = resolve(host, QByteArray::number(port).toStdString(), deadline);
    bool connected = false;
    for (const addrinfo* ai = addresses; ai && !connected; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                ai->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            do {
                rc = ::poll(&pfd, 1, millisecondsLeft(deadline));
            } while (rc < 0 && errno == EINTR);
            if (rc > 0) {
                int error = 0;
                socklen_t length = sizeof(error);
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                    connected = true;
            }
        }
        ::close(fd);
        if (millisecondsLeft(deadline) == 0)
            break;
    }
    if (addresses)
        ::freeaddrinfo(addresses);
    return connected;
}

addrinfo* LinuxConnectivity::resolve(const std::string& host, const std::string& service,
                                     Clock::time_point deadline)
{
    reapLookups();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* result = nullptr;
    // An address literal needs no resolver (and no resolver thread).
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0)
        return result;

    auto* lookup = new Lookup;
    lookup->host = host;
    lookup->service = service;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[1] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
        delete lookup;
        return nullptr;
    }

    for (;;) {
        const int state = ::gai_error(&lookup->request);
        if (state != EAI_INPROGRESS) {
            result = state == 0 ? lookup->request.ar_result : nullptr;
            if (state != 0 && lookup->request.ar_result)
                ::freeaddrinfo(lookup->request.ar_result);
            delete lookup;
            return result;
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0)
            break;
        const timespec wait{left / 1000, static_cast<long>(left % 1000) * 1000000L};
        const gaicb* pending[1] = {&lookup->request};
        ::gai_suspend(pending, 1, &wait);
    }

    if (::gai_cancel(&lookup->request) == EAI_CANCELED) {
        delete lookup;
    } else {
        m_abandoned.push_back(lookup);
    }
    return nullptr;
}

void LinuxConnectivity::reapLookups()
{
    for (auto it = m_abandoned.begin(); it != m_abandoned.end();) {
        Lookup* lookup = *it;
        if (::gai_error(&lookup->request) == EAI_INPROGRESS) {
            ++it;
            continue;
        }
        if (lookup->request.ar_result)
            ::freeaddrinfo(lookup->request.ar_result);
        delete lookup;
        it = m_abandoned.erase(it);
    }
}

} // namespace

std::unique_ptr<ConnectivityBackend> createConnectivityBackend(const ConnectivityOptions& options)
{
    return std::make_unique<LinuxConnectivity>(options);
}

} // namespace platform
} // namespace tuk
