// The connectivity monitor, its probe logic, the Linux backend against real buses, listeners and
// network namespaces, and the library's start-up and exit in hosts of every kind; all silent.
#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include "TestSupport.h"
#include "platform/TUKConnectivity_p.h"

#include <QDBusConnection>

#include <atomic>
#include <cstdlib>
#include <sched.h>

using namespace tuktest;

namespace {

std::atomic<bool> g_online{true};
std::atomic<int> g_checks{0};

// The probe thread's backend. Installed before main(), so before the probe thread, which waits
// for the application object, builds its worker.
struct SteeredBackend : tuk::platform::ConnectivityBackend
{
    bool anyConnectionUp() override { return g_online; }
    bool checkEndpoint(const std::string&) override { return ++g_checks, g_online.load(); }
};
const bool g_steered =
    (tuk::netcheck::setProbeBackendFactory([] { return std::make_unique<SteeredBackend>(); }),
     true);

// Logs every check's entry; only the entry named answers.
struct Script : tuk::platform::ConnectivityBackend
{
    bool gate = false;
    std::string answering;
    QStringList checked;
    bool anyConnectionUp() override { return gate; }
    bool checkEndpoint(const std::string& url) override
    {
        checked << QString::fromStdString(url).mid(11);
        return url == answering;
    }
};

struct Probe
{
    const char* name;
    QString draws, failsBefore;
    int answering;          // the one entry that answers, -1 none
    QString checked, after; // entries checked; the state of the list after the probe
};

const QString kNoBus = "unix:path=/nonexistent/tuk-no-bus";

std::unique_ptr<tuk::platform::ConnectivityBackend> backendOn(const QString& bus = kNoBus)
{
    return tuk::platform::createConnectivityBackend({bus.toStdString()});
}

// A dbus-daemon on a socket whose name holds characters its address must escape ("b,us,").
struct PrivateBus
{
    QTemporaryDir dir;
    QProcess daemon;
    QString address; // as the daemon prints it
    PrivateBus()
    {
        daemon.setStandardErrorFile(QProcess::nullDevice()); // its complaints are its own
        daemon.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1",
                                     "--address=unix:path=" + dir.path() + "/b%2cus%2c"});
        while (!daemon.canReadLine() && daemon.waitForReadyRead(20000)) {
        }
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        daemon.terminate();
        daemon.waitForFinished(20000);
    }
};

// NetworkManager on a bus: serves its "Connectivity" from a thread of its own, as the backend
// asks with a blocking call.
class FakeNetworkManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint Connectivity MEMBER m_state)

public:
    FakeNetworkManager(const QString& bus, uint state) : m_state(state)
    {
        moveToThread(&m_thread);
        m_thread.start();
        QDBusConnection c = QDBusConnection::connectToBus(bus, m_name);
        serving = c.registerObject("/org/freedesktop/NetworkManager", this,
                                   QDBusConnection::ExportAllProperties) &&
                  c.registerService("org.freedesktop.NetworkManager");
    }
    ~FakeNetworkManager() override // off the bus before it goes: nothing may reach it later
    {
        m_thread.quit();
        m_thread.wait();
        QDBusConnection(m_name).unregisterObject("/org/freedesktop/NetworkManager");
        QDBusConnection::disconnectFromBus(m_name);
    }
    bool serving = false;
    uint m_state;
    QString m_name = QString::number(quintptr(this));
    QThread m_thread;
};

} // namespace

Q_DECLARE_METATYPE(Probe)

class TestNetcheck : public QObject
{
    Q_OBJECT

    QTcpServer m_listener;
    QString m_openPort;
    std::string m_open, m_closed = refusedUrl().toStdString();

private slots:
    void initTestCase()
    {
        QVERIFY(m_listener.listen(QHostAddress::LocalHost));
        m_openPort = QString::number(m_listener.serverPort());
        m_open = ("http://127.0.0.1:" + m_openPort).toStdString();
        takeMessages();
    }
    void cleanup() { QCOMPARE(takeMessages(), QStringList()); }

    // Entries trimmed, empty ones dropped. The probe thread takes the list our test runs name.
    void endpoints()
    {
        QCOMPARE(tuk::netcheck::probeEndpoints(" http://a:1 ,,http://[::1]:9"),
                 QStringList({"http://a:1", "http://[::1]:9"}));
        QCOMPARE(defaultTargets().constFirst().url,
                 qEnvironmentVariable("TUK_NETCHECK_ENDPOINTS").section(',', 0, 0).trimmed());
    }

    // A draw is taken modulo the list's size; one on the first pick steps back an entry (from
    // the first to the last). An answer resets the entry's count; the first pick's failure
    // counts when the second answers, and at its 21st it leaves the list. Both failing is the
    // machine off line: nobody is blamed.
    void probes_data()
    {
        tuktest::addRows<Probe>(
            {{"first answers", "59", "0 0 0 5", 3, "3", "8 3:0/1"},
             {"second answers", "2 5", "0 0 3 0 0 7", 5, "2 5", "8 2:4/1 5:0/1"},
             {"both fail", "1 4", "0 20", -1, "1 4", "8 1:20/1 4:0/1"},
             {"0 steps to 7", "0 0", "", 7, "0 7", "8 0:1/1 7:0/1"},
             {"5 steps to 4", "5 5", "", 4, "5 4", "8 4:0/1 5:1/1"},
             {"20th failure", "2 0", "0 0 19", 0, "2 0", "8 0:0/1 2:20/1"},
             {"21st failure", "6 0", "0 0 19 0 0 0 20", 0, "6 0", "7 0:0/1 2:19/0"}});
    }
    // Over entries "http://site0" to "http://site7"; the worker's own first probe, in its
    // constructor, finds the gate closed. The state: the number of entries left, and
    // "<entry>:<failures>/<picks>" of those with a count.
    void probes()
    {
        QFETCH(Probe, row);
        QList<ProbeTarget> targets;
        QList<int> draws;
        for (int i = 0; i < 8; ++i)
            targets << ProbeTarget{QString("http://site%1").arg(i)};
        for (const QString& draw : row.draws.split(' '))
            draws << draw.toInt();
        const QStringList fails = row.failsBefore.split(' ', Qt::SkipEmptyParts);
        for (int i = 0; i < fails.size(); ++i)
            targets[i].failCount = fails[i].toInt();
        auto* script = new Script; // owned by the worker
        TUKNetWorkCheckWorker worker(&targets, nullptr, std::unique_ptr<Script>(script),
                                     [&] { return draws.takeFirst(); });
        script->gate = true;
        script->answering = QString("http://site%1").arg(row.answering).toStdString();
        QCOMPARE(worker.checkNetwork(), row.answering >= 0);
        QCOMPARE(script->checked.join(' '), row.checked);
        QStringList state{QString::number(targets.size())};
        for (const ProbeTarget& t : targets)
            if (t.failCount || t.pickCount)
                state << QString("%1:%2/%3").arg(t.url.mid(11)).arg(t.failCount).arg(t.pickCount);
        QCOMPARE(state.join(' '), row.after);
        QVERIFY(draws.isEmpty());
    }

    // The monitor starts connected, with nothing said: its probe thread's first verdict, from
    // our on-line backend, changed nothing. Then one signal per change, after the new verdict is
    // stored, on the monitor's thread whoever sends it. The probe thread probes again five
    // seconds after its last probe.
    void monitor()
    {
        TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
        QTRY_VERIFY_WITH_TIMEOUT(g_checks > 0, 20000);
        QVERIFY(monitor->isConnect() && monitor->thread() == QThread::currentThread());
        QString seen; // isConnect() as directly connected slots see it, "!" from another thread
        const auto record = [&] {
            seen += QString::number(monitor->isConnect()) +
                    (QThread::currentThread() == thread() ? "" : "!");
        };
        connect(monitor, &TUKNetWorkCheck::sigNetWorkBreak, this, record, Qt::DirectConnection);
        connect(monitor, &TUKNetWorkCheck::sigNetWorkConnect, this, record, Qt::DirectConnection);
        const auto deliver = [monitor](bool verdict, Qt::ConnectionType type) {
            return QMetaObject::invokeMethod(monitor, "setNetWorkStatus", type,
                                             Q_ARG(bool, verdict));
        };
        for (bool verdict : {true, false, false, true})
            QVERIFY(deliver(verdict, Qt::QueuedConnection));
        QCOMPARE(seen, "");
        QTRY_COMPARE_WITH_TIMEOUT(seen, "01", 20000);
        QVERIFY(deliver(false, Qt::DirectConnection) && deliver(true, Qt::DirectConnection));
        QCOMPARE(seen, "0101");
        g_online = false;
        QTRY_COMPARE_WITH_TIMEOUT(seen, "01010", 20000);
    }

    // Without NetworkManager a TCP connection to the endpoint decides, also through a name; URLs
    // that cannot be used give "off line" at once.
    void forcedConnection()
    {
        const auto backend = backendOn();
        QString answers;
        for (const QString& url : {QString::fromStdString(m_open), "http://localhost:" + m_openPort,
                                   QString::fromStdString(m_closed), QString(),
                                   QString("::no url::"), QString("http://127.0.0.1:70000/")})
            answers += QString::number(backend->checkEndpoint(url.toStdString()));
        QCOMPARE(answers, "110000");
    }

    // NetworkManager's state is machine-wide, the endpoint plays no part, unless it does not
    // know: full, none, portal, limited, unknown. Its bus is named as the daemon prints it (an
    // escaped path, then the guid), or in a list whose first address leads nowhere. When it comes
    // and goes, the backend notices at its next check.
    void networkManager()
    {
        PrivateBus bus;
        QString answers;
        for (uint state : {4, 1, 2, 3, 0}) {
            FakeNetworkManager manager(bus.address, state);
            QVERIFY(manager.serving);
            for (const QString& address : {bus.address, "unix:path=/nonexistent;" + bus.address}) {
                auto backend = backendOn(address);
                answers += QString::number(backend->checkEndpoint(m_closed));
                answers += QString::number(backend->checkEndpoint(m_open));
            }
            answers += ' ';
        }
        QCOMPARE(answers, "1111 0000 0000 0000 0101 ");
        auto backend = backendOn(bus.address);
        QVERIFY(!backend->checkEndpoint(m_closed));
        auto manager = std::make_unique<FakeNetworkManager>(bus.address, 4);
        QVERIFY(backend->checkEndpoint(m_closed));
        manager = nullptr;
        QVERIFY(!backend->checkEndpoint(m_closed));
    }

    // In a network namespace of its own, made step by step: the gate opens only for an interface
    // that is up, running and has an address that is not link-local. The forced connection goes
    // to port 80 for http, 443 for https, else to the URL's own port; a name that does not
    // resolve is "off line".
    void inANetworkNamespace()
    {
        QStringList gate;
        QString ports;
        std::unique_ptr<QThread> thread(QThread::create([&] { // a QThread: listeners need one
            if (::unshare(CLONE_NEWNET) != 0)                 // this thread only
                return;
            const auto backend = backendOn();
            const auto step = [&](const char* commands, const char* interface, bool running) {
                const auto settled = [&] {
                    const auto flags = QNetworkInterface::interfaceFromName(interface).flags();
                    return flags.testFlag(QNetworkInterface::IsRunning) == running;
                };
                const bool ready = std::system(commands) == 0 && QTest::qWaitFor(settled, 20000);
                gate << (!ready ? "failed" : backend->anyConnectionUp() ? "open" : "closed");
            };
            step("ip link set lo up", "lo", true);
            step("ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up",
                 "v0", true);
            step("ip addr add 169.254.7.7/16 dev v0", "v0", true);
            step("ip link set v1 down && ip addr add 10.9.0.1/24 dev v0", "v0", false);
            step("ip addr add 10.9.1.1/24 dev v1", "v0", false);
            step("ip link set v1 up", "v0", true);
            for (quint16 port : {80, 443}) { // a listener on each in turn
                QTcpServer listener;
                if (listener.listen(QHostAddress::LocalHost, port))
                    for (const char* url :
                         {"http://127.0.0.1", "HTTPS://127.0.0.1", "https://127.0.0.1:80"})
                        ports += QString::number(backend->checkEndpoint(url));
            }
            // No route to any name server in here: the lookup fails without leaving the machine.
            ports += QString::number(backend->checkEndpoint("http://no-such-host.invalid/"));
        }));
        thread->start();
        thread->wait();
        if (gate.isEmpty())
            QSKIP("no network namespace can be made here");
        QCOMPARE(gate.join(' '), "closed closed closed closed closed open");
        QCOMPARE(ports, "1010100");
    }

    // Hosts that build their application at once, late or never, and one that loads the
    // library with dlopen() after its application exists, each in turn with a bus whose
    // NetworkManager says "none", a bus without it, and no bus: every run ends with status 0 and
    // writes nothing on standard error. TUK_SOAK_RUNS sets the runs per host (at least three).
    void hosts_data()
    {
        QTest::addColumn<QStringList>("command");
        for (const char* application : {"at-once", "late", "never"})
            QTest::newRow(application) << QStringList{TUK_HOST, application};
        QTest::newRow("dlopen") << QStringList{TUK_HOST_DLOPEN};
    }
    void hosts()
    {
        QFETCH(QStringList, command);
        PrivateBus withManager, withoutManager;
        QVERIFY(!withManager.address.isEmpty() && !withoutManager.address.isEmpty());
        FakeNetworkManager none(withManager.address, 1);
        const QStringList buses{withManager.address, withoutManager.address, kNoBus};
        QStringList env = QProcess::systemEnvironment()
                          << "QT_FORCE_STDERR_LOGGING=1"; // all to stderr
#ifdef __SANITIZE_ADDRESS__ // the fault guard's records are never freed, by design
        env << "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":detect_leaks=0";
#endif
        for (int i = 0; i < qMax(3, qEnvironmentVariableIntValue("TUK_SOAK_RUNS")); ++i) {
            QProcess host;
            host.setEnvironment(env + QStringList{"DBUS_SYSTEM_BUS_ADDRESS=" + buses[i % 3]});
            host.start(command.first(), command.mid(1));
            QVERIFY2(host.waitForFinished(60000), "the host hangs");
            const QString result = QString::number(host.exitCode()) + host.readAllStandardError();
            QVERIFY2(host.exitStatus() == QProcess::NormalExit && result == "0",
                     qPrintable("run " + QString::number(i) + ", " + buses[i % 3] + ": " + result));
        }
    }
};

QTEST_GUILESS_MAIN(TestNetcheck)
#include "tst_netcheck.moc"
