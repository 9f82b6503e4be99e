// A stand-in for NetworkManager on a private D-Bus bus: owns the name
// org.freedesktop.NetworkManager and serves the read-only property "Connectivity" of the interface
// org.freedesktop.NetworkManager on /org/freedesktop/NetworkManager.
//
// Usage: tuk_fake_networkmanager BUS_ADDRESS CONNECTIVITY
// Prints "ready" on standard output once the name is owned, then serves until it is killed.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>

#include <cstdio>

class FakeNetworkManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint Connectivity READ connectivity)

public:
    explicit FakeNetworkManager(uint connectivity) : m_connectivity(connectivity) {}
    uint connectivity() const { return m_connectivity; }

private:
    uint m_connectivity;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BUS_ADDRESS CONNECTIVITY\n", argv[0]);
        return 2;
    }
    bool ok = false;
    const uint connectivity = QString::fromLocal8Bit(argv[2]).toUInt(&ok);
    if (!ok) {
        std::fprintf(stderr, "bad connectivity value: %s\n", argv[2]);
        return 2;
    }

    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("fake-nm"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "cannot connect to %s\n", argv[1]);
        return 1;
    }
    FakeNetworkManager manager(connectivity);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/NetworkManager"), &manager,
                            QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.freedesktop.NetworkManager"))) {
        std::fprintf(stderr, "cannot register the service\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "FakeNetworkManager.moc"
