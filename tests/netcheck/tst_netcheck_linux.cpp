// The Linux connectivity backend against real things on this machine: loopback listeners, a
// private dbus-daemon and a NetworkManager stand-in on it. Nothing leaves the machine.

#include "MessageLog.h"
#include "NetcheckFixtures.h"
#include "platform/TUKConnectivity_p.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <QTcpSocket>

#include <sys/socket.h>

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

} // namespace

class TestNetcheckLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void forcedConnection_data();
    void forcedConnection();
    void forcedConnectionIsBounded();
    void networkManagerStateDecides_data();
    void networkManagerStateDecides();
    void networkManagerComingAndGoing();
    void unreachableBusesAreSilent_data();
    void unreachableBusesAreSilent();
    void gateSeesOnlyLoopbackInAnEmptyNetworkNamespace();

private:
    QTcpServer m_listener;
    QTcpServer m_listenerV6; // only where the machine has IPv6
    quint16 m_closedPort = 0;
    // The backend must stay silent: every Qt message is recorded. Made once the test framework
    // has put its own handler in place, which does not pass messages on.
    std::unique_ptr<tuktest::MessageLog> m_messages;
};

void TestNetcheckLinux::initTestCase()
{
    m_messages = std::make_unique<tuktest::MessageLog>();
    QVERIFY(m_listener.listen(QHostAddress::LocalHost, 0));
    m_listenerV6.listen(QHostAddress::LocalHostIPv6, 0);
    m_closedPort = tuktest::freeLoopbackPort();
    QVERIFY(m_closedPort != 0);
}

void TestNetcheckLinux::init()
{
    m_messages->clear();
}

void TestNetcheckLinux::cleanup()
{
    QVERIFY2(m_messages->messages().isEmpty(),
             qPrintable(m_messages->messages().join(QLatin1Char('\n'))));
}

void TestNetcheckLinux::forcedConnection_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("answers");
    QTest::addColumn<int>("withinMs");
    const quint16 open = m_listener.serverPort();
    QTest::newRow("open port") << QString::fromStdString(loopbackUrl(open)) << true << 30000;
    // A host name goes through the resolver ("localhost" is answered by the hosts file).
    QTest::newRow("localhost") << QStringLiteral("http://localhost:%1").arg(open) << true << 30000;
    if (m_listenerV6.isListening())
        QTest::newRow("IPv6")
            << QStringLiteral("http://[::1]:%1/path?q=1").arg(m_listenerV6.serverPort()) << true
            << 30000;
    // A refused connection must not wait for the bound.
    QTest::newRow("closed port") << QString::fromStdString(loopbackUrl(m_closedPort)) << false
                                 << 1000;
    QTest::newRow("empty") << QString() << false << 5000;
    QTest::newRow("no host") << QStringLiteral("http://") << false << 5000;
    QTest::newRow("not a url") << QStringLiteral("::not a url::") << false << 5000;
    QTest::newRow("port out of range")
        << QStringLiteral("http://127.0.0.1:70000/") << false << 5000;
    QTest::newRow("name that cannot resolve")
        << QStringLiteral("http://no-such-host.invalid/") << false << 5000;
}

void TestNetcheckLinux::forcedConnection()
{
    QFETCH(QString, url);
    QFETCH(bool, answers);
    QFETCH(int, withinMs);
    auto backend = backendOn(tuktest::missingBusAddress());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(backend->checkEndpoint(url.toStdString()), answers);
    QVERIFY2(clock.elapsed() < withinMs, qPrintable(QString::number(clock.elapsed())));
}

void TestNetcheckLinux::forcedConnectionIsBounded()
{
    // A loopback port whose accept queue is full: further SYNs are dropped, so a connect hangs.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    silent.pauseAccepting();
    QCOMPARE(::listen(int(silent.socketDescriptor()), 0), 0); // room for one
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, silent.serverPort());
    QVERIFY(filler.waitForConnected(30000));
    tuk::platform::ConnectivityOptions options;
    options.networkManagerBus = tuktest::missingBusAddress().toStdString();
    for (int bound : {1000, 300}) {
        options.connectTimeoutMs = bound;
        auto backend = tuk::platform::createConnectivityBackend(options);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!backend->checkEndpoint(loopbackUrl(silent.serverPort())));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= bound - 50 && elapsed < bound + 4000,
                 qPrintable(QString::number(elapsed)));
    }
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
}

void TestNetcheckLinux::networkManagerComingAndGoing()
{
    tuktest::PrivateBus bus;
    QVERIFY(bus.start());
    auto backend = backendOn(bus.address());
    const std::string closed = loopbackUrl(m_closedPort);
    const std::string open = loopbackUrl(m_listener.serverPort());

    // A bus without NetworkManager (yet): the forced connection decides.
    QVERIFY(!backend->checkEndpoint(closed));
    QVERIFY(backend->checkEndpoint(open));
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
    QVERIFY(backend->checkEndpoint(open));
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
    const auto restore = qScopeGuard([&] {
        hadSaved ? qputenv("DBUS_SYSTEM_BUS_ADDRESS", saved) : qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    });
    if (viaEnvironment)
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    auto backend = backendOn(viaEnvironment ? QString() : address);
    QVERIFY(backend->checkEndpoint(loopbackUrl(m_listener.serverPort())));
    QVERIFY(!backend->checkEndpoint(loopbackUrl(m_closedPort)));
}

void TestNetcheckLinux::gateSeesOnlyLoopbackInAnEmptyNetworkNamespace()
{
    // A fresh network namespace has nothing but a loopback interface. A veth pair is added and
    // the gate asked at each step: it opens only once an interface is up, running and holds an
    // address that is not link-local. Needs the rights to make namespaces and interfaces.
    if (!tuktest::runProgram(QStringLiteral("unshare"),
                             QStringLiteral("-n ip link add v0 type veth peer name v1").split(' ')))
        QSKIP("cannot create a network namespace with a veth pair here");

    // A link's carrier comes up some time after "ip link set up": wait (bounded) for "state UP".
    const QString script =
        QStringLiteral("set -e; gate='%1'\n"
                       "running() { for i in $(seq 600); do case \"$(ip -o link show $1)\" in\n"
                       "  *'state UP'*) return 0;; esac; sleep 0.05; done; return 1; }\n"
                       "ip link set lo up; \"$gate\"\n"
                       "ip link add v0 type veth peer name v1\n"
                       "ip link set v0 up; ip link set v1 up; running v0; running v1; \"$gate\"\n"
                       "ip addr add 169.254.7.7/16 dev v0; \"$gate\"\n"
                       "ip addr add 10.99.0.1/24 dev v1; ip link set v1 down; \"$gate\"\n"
                       "ip link set v1 up; running v1; \"$gate\"\n")
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
