// Start-up and exit of the library in the four kinds of host, once each in every bus setup:
// each run must end with status 0 and print nothing on standard error (no Qt warning, no GLib
// message), and the hosts that build an application must get the first verdict without waiting
// for the probe period. scripts/soak-netcheck.sh runs the same hosts many times over.

#include "NetcheckFixtures.h"

#include <QProcessEnvironment>
#include <QtTest>

class TestNetcheckHosts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostStartsAndEndsCleanly_data();
    void hostStartsAndEndsCleanly();

private:
    tuktest::PrivateBus m_busWithManager;
    tuktest::FakeNetworkManagerProcess m_manager;
    tuktest::PrivateBus m_emptyBus;
};

void TestNetcheckHosts::initTestCase()
{
    QVERIFY(m_busWithManager.start());
    QVERIFY(m_manager.start(m_busWithManager.address(), 1)); // "none": off line
    QVERIFY(m_emptyBus.start());
}

void TestNetcheckHosts::cleanupTestCase()
{
    m_manager.stop();
    m_busWithManager.stop();
    m_emptyBus.stop();
}

void TestNetcheckHosts::hostStartsAndEndsCleanly_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("expectBreak");
    QTest::addColumn<int>("bus");
    const struct
    {
        const char* name;
        const char* file;
        bool expectBreak;
    } hosts[] = {{"app at once", TUK_HOST_APP_AT_ONCE, true},
                 {"app late", TUK_HOST_APP_LATE, true},
                 {"dlopen", TUK_HOST_DLOPEN, true},
                 {"no app", TUK_HOST_NO_APP, false}};
    const char* buses[] = {"NetworkManager says none", "bus without NetworkManager", "no bus"};
    for (const auto& host : hosts) {
        for (int bus = 0; bus < 3; ++bus)
            QTest::addRow("%s, %s", host.name, buses[bus])
                << QString::fromLocal8Bit(host.file) << host.expectBreak << bus;
    }
}

void TestNetcheckHosts::hostStartsAndEndsCleanly()
{
    QFETCH(QString, program);
    QFETCH(bool, expectBreak);
    QFETCH(int, bus);
    const QString address = bus == 0   ? m_busWithManager.address()
                            : bus == 1 ? m_emptyBus.address()
                                       : tuktest::missingBusAddress();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    // Qt messages must reach standard error, whatever the output is connected to.
    env.insert(QStringLiteral("QT_ASSUME_STDERR_HAS_CONSOLE"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    tuktest::ChildProcess host;
    host.setProcessEnvironment(env);
    host.start(program,
               expectBreak ? QStringList{QStringLiteral("--expect-break")} : QStringList());
    QVERIFY(host.waitForStarted(20000));
    QVERIFY2(host.waitForFinished(60000), "the host hangs");
    const QByteArray errors = host.readAllStandardError();
    QVERIFY2(errors.isEmpty(), errors.constData());
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestNetcheckHosts)
#include "tst_netcheck_hosts.moc"
