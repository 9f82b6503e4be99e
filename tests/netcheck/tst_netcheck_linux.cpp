// The Linux connectivity backend against real things on this machine: loopback listeners, a
// private dbus-daemon and a NetworkManager stand-in on it. Nothing leaves the machine.

#include "MessageLog.h"
#include "NetcheckFixtures.h"
#include "platform/TUKConnectivity_p.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::unique_ptr<tuk::platform::ConnectivityBackend> backendOn(const QString& busAddress)
{
    tuk::platform::ConnectivityOptions options;
    options.networkManagerBus = busAddress.toStdString();
    return tuk::platform::createConnectivityBackend(options);
}

std::string loopbackUrl(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port).toStdString();
}

// A loopback port whose accept queue is full: further SYNs are dropped, so a connect hangs.
class SilentPort
{
public:
    bool open()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
            return false;
        m_port = ntohs(addr.sin_port);
        m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return m_filler >= 0 &&
               ::connect(m_filler, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~SilentPort()
    {
        if (m_filler >= 0)
            ::close(m_filler);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    quint16 m_port = 0;
};

} // namespace

class TestNetcheckLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void forcedConnectionAnswers();
    void forcedConnectionIsBounded();
    void unusableUrlsAnswerFalse_data();
    void unusableUrlsAnswerFalse();
    void networkManagerStateDecides_data();
    void networkManagerStateDecides();
    void networkManagerComingAndGoing();
    void busWithoutNetworkManagerFallsBack();
    void unreachableBusesAreSilent_data();
    void unreachableBusesAreSilent();
    void gateSeesOnlyLoopbackInAnEmptyNetworkNamespace();

private:
    QTcpServer m_listener;
    quint16 m_closedPort = 0;
    tuktest::MessageLog m_messages; // the backend must stay silent: every Qt message is recorded
};

void TestNetcheckLinux::initTestCase()
{
    QVERIFY(m_listener.listen(QHostAddress::LocalHost, 0));
    m_closedPort = tuktest::freeLoopbackPort();
    QVERIFY(m_closedPort != 0);
}

void TestNetcheckLinux::init()
{
    m_messages.clear();
}

void TestNetcheckLinux::cleanup()
{
    QVERIFY2(m_messages.messages().isEmpty(),
             qPrintable(m_messages.messages().join(QLatin1Char('\n'))));
}

void TestNetcheckLinux::forcedConnectionAnswers()
{
    auto backend = backendOn(tuktest::missingBusAddress());
    const quint16 open = m_listener.serverPort();
    QVERIFY(backend->checkEndpoint(loopbackUrl(open)));
    // A host name goes through the resolver ("localhost" is answered by the hosts file).
    QVERIFY(backend->checkEndpoint(QStringLiteral("http://localhost:%1").arg(open).toStdString()));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!backend->checkEndpoint(loopbackUrl(m_closedPort)));
    QVERIFY2(clock.elapsed() < 1000, "a refused connection must not wait for the bound");

    QTcpServer v6;
    if (v6.listen(QHostAddress::LocalHostIPv6, 0))
        QVERIFY(backend->checkEndpoint(
            QStringLiteral("http://[::1]:%1/path?q=1").arg(v6.serverPort()).toStdString()));
}

void TestNetcheckLinux::forcedConnectionIsBounded()
{
    SilentPort silent;
    QVERIFY(silent.open());
    tuk::platform::ConnectivityOptions options;
    options.networkManagerBus = tuktest::missingBusAddress().toStdString();
    for (int bound : {1000, 300}) {
        options.connectTimeoutMs = bound;
        auto backend = tuk::platform::createConnectivityBackend(options);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!backend->checkEndpoint(loopbackUrl(silent.port())));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= bound - 50, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < bound + 4000, qPrintable(QString::number(elapsed)));
    }
}

void TestNetcheckLinux::unusableUrlsAnswerFalse_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("empty") << QString();
    QTest::newRow("no host") << QStringLiteral("http://");
    QTest::newRow("not a url") << QStringLiteral("::not a url::");
    QTest::newRow("port out of range") << QStringLiteral("http://127.0.0.1:70000/");
    QTest::newRow("name that cannot resolve") << QStringLiteral("http://no-such-host.invalid/");
}

void TestNetcheckLinux::unusableUrlsAnswerFalse()
{
    QFETCH(QString, url);
    auto backend = backendOn(tuktest::missingBusAddress());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!backend->checkEndpoint(url.toStdString()));
    QVERIFY(clock.elapsed() < 5000);
}

void TestNetcheckLinux::networkManagerStateDecides_data()
{
    QTest::addColumn<uint>("state");
    QTest::addColumn<bool>("withClosedPort");
    QTest::addColumn<bool>("withOpenPort");
    // NetworkManager's answer is machine-wide: the endpoint plays no part...
    QTest::newRow("full") << 4u << true << true;
    QTest::newRow("none") << 1u << false << false;
    QTest::newRow("portal") << 2u << false << false;
    QTest::newRow("limited") << 3u << false << false;
    // ...unless it does not know, and the forced connection decides.
    QTest::newRow("unknown") << 0u << false << true;
}

void TestNetcheckLinux::networkManagerStateDecides()
{
    QFETCH(uint, state);
    QFETCH(bool, withClosedPort);
    QFETCH(bool, withOpenPort);
    tuktest::PrivateBus bus;
    QVERIFY(bus.start());
    tuktest::FakeNetworkManagerProcess manager;
    QVERIFY(manager.start(bus.address(), state));

    auto backend = backendOn(bus.address());
    QCOMPARE(backend->checkEndpoint(loopbackUrl(m_closedPort)), withClosedPort);
    QCOMPARE(backend->checkEndpoint(loopbackUrl(m_listener.serverPort())), withOpenPort);
    backend.reset();
    manager.stop();
    bus.stop();
}

void TestNetcheckLinux::networkManagerComingAndGoing()
{
    tuktest::PrivateBus bus;
    QVERIFY(bus.start());
    auto backend = backendOn(bus.address());
    const std::string closed = loopbackUrl(m_closedPort);

    QVERIFY(!backend->checkEndpoint(closed)); // not there yet: the closed port decides
    {
        tuktest::FakeNetworkManagerProcess manager;
        QVERIFY(manager.start(bus.address(), 4));
        QVERIFY(backend->checkEndpoint(closed)); // asked on the same connection
        manager.stop();
    }
    QVERIFY(!backend->checkEndpoint(closed)); // gone again

    // The bus itself goes away: the backend falls back silently and finds a new bus later.
    bus.stop();
    QVERIFY(!backend->checkEndpoint(closed));
    QVERIFY(backend->checkEndpoint(loopbackUrl(m_listener.serverPort())));
}

void TestNetcheckLinux::busWithoutNetworkManagerFallsBack()
{
    tuktest::PrivateBus bus;
    QVERIFY(bus.start());
    auto backend = backendOn(bus.address());
    QVERIFY(backend->checkEndpoint(loopbackUrl(m_listener.serverPort())));
    QVERIFY(!backend->checkEndpoint(loopbackUrl(m_closedPort)));
    backend.reset();
    bus.stop();
}

void TestNetcheckLinux::unreachableBusesAreSilent_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("viaEnvironment");
    QTest::newRow("missing socket") << tuktest::missingBusAddress() << false;
    QTest::newRow("abstract socket nobody listens on")
        << QStringLiteral("unix:abstract=tuk-netcheck-nobody-%1").arg(m_closedPort) << false;
    QTest::newRow("closed tcp port")
        << QStringLiteral("tcp:host=127.0.0.1,port=%1").arg(m_closedPort) << false;
    QTest::newRow("garbage address") << QStringLiteral("this is no address") << false;
    QTest::newRow("system bus from the environment") << tuktest::missingBusAddress() << true;
}

void TestNetcheckLinux::unreachableBusesAreSilent()
{
    QFETCH(QString, address);
    QFETCH(bool, viaEnvironment);
    const QByteArray saved = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    const bool hadSaved = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS");
    if (viaEnvironment)
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    auto backend = backendOn(viaEnvironment ? QString() : address);
    const bool open = backend->checkEndpoint(loopbackUrl(m_listener.serverPort()));
    const bool closed = backend->checkEndpoint(loopbackUrl(m_closedPort));
    backend.reset();
    if (hadSaved)
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", saved);
    else
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    QVERIFY(open);
    QVERIFY(!closed);
}

void TestNetcheckLinux::gateSeesOnlyLoopbackInAnEmptyNetworkNamespace()
{
    // A fresh network namespace has nothing but a loopback interface. A veth pair is added and
    // the gate asked at each step: it opens only once an interface is up, running and holds an
    // address that is not link-local. Needs the rights to make namespaces and interfaces.
    if (!tuktest::runProgram(QStringLiteral("unshare"),
                             {QStringLiteral("-n"), QStringLiteral("ip"), QStringLiteral("link"),
                              QStringLiteral("add"), QStringLiteral("v0"), QStringLiteral("type"),
                              QStringLiteral("veth"), QStringLiteral("peer"),
                              QStringLiteral("name"), QStringLiteral("v1")}))
        QSKIP("cannot create a network namespace with a veth pair here");

    const QString script =
        QStringLiteral("set -e; gate='%1'\n"
                       "ip link set lo up; \"$gate\"\n"
                       "ip link add v0 type veth peer name v1\n"
                       "ip link set v0 up; ip link set v1 up; \"$gate\"\n"
                       "ip addr add 169.254.7.7/16 dev v0; \"$gate\"\n"
                       "ip addr add 10.99.0.1/24 dev v1; ip link set v1 down; \"$gate\"\n"
                       "ip link set v1 up; \"$gate\"\n")
            .arg(QStringLiteral(TUK_NETCHECK_GATE_HELPER));
    QByteArray output;
    QVERIFY2(tuktest::runProgram(
                 QStringLiteral("unshare"),
                 {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"), script},
                 &output),
             output.constData());
    // Loopback only; veth up with link-local addresses only; an IPv4 link-local address too; a
    // real address on an interface that is down (its peer loses its carrier as well); both up.
    QCOMPARE(output, QByteArray("closed\nclosed\nclosed\nclosed\nopen\n"));
}

QTEST_GUILESS_MAIN(TestNetcheckLinux)
#include "tst_netcheck_linux.moc"
