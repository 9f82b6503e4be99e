#include "NetcheckFixtures.h"

#include <QElapsedTimer>
#include <QFile>

namespace tuktest {

bool PrivateBus::start()
{
    if (!m_dir.isValid())
        return false;
    const QString socket = m_dir.filePath(QStringLiteral("bus"));
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                              "Configuration 1.0//EN\" "
                              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig>\n"
                              "  <type>session</type>\n"
                              "  <listen>unix:path=%1</listen>\n"
                              "  <auth>EXTERNAL</auth>\n"
                              "  <policy context=\"default\">\n"
                              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                              "    <allow eavesdrop=\"true\"/>\n"
                              "    <allow own=\"*\"/>\n"
                              "  </policy>\n"
                              "</busconfig>\n")
                   .arg(socket)
                   .toUtf8());
    file.close();

    m_daemon = std::make_unique<ChildProcess>();
    // The daemon's own complaints (it cannot raise its file limit without privileges, ...) go
    // to a file: they are not ours to judge.
    m_daemon->setStandardErrorFile(m_dir.filePath(QStringLiteral("bus.log")));
    m_daemon->start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                     QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!m_daemon->waitForStarted(20000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_daemon->canReadLine() && clock.elapsed() < 20000) {
        if (!m_daemon->waitForReadyRead(1000) && m_daemon->state() != QProcess::Running)
            return false;
    }
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    return !m_address.isEmpty();
}

void PrivateBus::stop()
{
    if (m_daemon)
        m_daemon->stop();
}

bool FakeNetworkManagerProcess::start(const QString& busAddress, uint connectivity)
{
    m_process = std::make_unique<ChildProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral(TUK_FAKE_NETWORKMANAGER),
                     {busAddress, QString::number(connectivity)});
    if (!m_process->waitForStarted(20000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_process->canReadLine() && clock.elapsed() < 20000) {
        if (!m_process->waitForReadyRead(1000) && m_process->state() != QProcess::Running)
            return false;
    }
    return m_process->readLine().trimmed() == "ready";
}

void FakeNetworkManagerProcess::stop()
{
    if (m_process)
        m_process->stop();
}

QString missingBusAddress()
{
    return QStringLiteral("unix:path=/nonexistent/tuk-netcheck-test/no-bus-here");
}

} // namespace tuktest
