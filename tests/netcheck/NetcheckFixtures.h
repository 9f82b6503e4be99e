#ifndef TUKTEST_NETCHECKFIXTURES_H
#define TUKTEST_NETCHECKFIXTURES_H

#include "TukTestEnv.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

// Fixtures of the connectivity tests: a private D-Bus bus and a NetworkManager stand-in on it.
namespace tuktest {

// A dbus-daemon of our own on a socket in a temporary folder, with a policy that lets every
// client own every name. Dies with the test.
class PrivateBus
{
public:
    bool start();
    void stop();
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    QString m_address;
};

// tuk_fake_networkmanager serving the given NMConnectivityState on a bus.
class FakeNetworkManagerProcess
{
public:
    bool start(const QString& busAddress, uint connectivity);
    void stop();

private:
    std::unique_ptr<ChildProcess> m_process;
};

// A D-Bus address where no bus is: a socket path that does not exist.
QString missingBusAddress();

} // namespace tuktest

#endif // TUKTEST_NETCHECKFIXTURES_H
