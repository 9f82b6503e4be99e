#ifndef TUKTEST_NGINXSERVER_H
#define TUKTEST_NGINXSERVER_H

#include "TukTestEnv.h"

#include <QString>
#include <QTemporaryDir>

namespace tuktest {

// nginx on two free loopback ports, plain HTTP and TLS with a self-signed certificate for
// 127.0.0.1 made at start, everything inside a temporary folder. Serves files from docRoot();
// "/noranges/..." is served without byte-range support. Stopped by the destructor.
class NginxServer
{
public:
    ~NginxServer() { stop(); }

    // extraServerConfig is pasted into the server block (locations of a test's own).
    bool start(const QString& extraServerConfig = QString());
    void stop() { m_process.stop(); }

    QString docRoot() const { return m_dir.path() + QStringLiteral("/www"); }
    QString certificatePath() const { return m_dir.path() + QStringLiteral("/cert.pem"); }
    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString url(const QString& path = QString()) const;
    QString httpsUrl(const QString& path = QString()) const;
    QString errorString() const { return m_error; }

    // Writes a file below docRoot() (folders are made as needed); returns false on failure.
    bool writeFile(const QString& relativePath, const QByteArray& content) const;
    // Makes a sparse file of the given size below docRoot(), as `truncate -s` would.
    bool makeSparseFile(const QString& relativePath, qint64 size) const;

private:
    bool makeCertificate();
    bool writeConfig(const QString& extraServerConfig);

    QTemporaryDir m_dir;
    ChildProcess m_process;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    QString m_error;
};

} // namespace tuktest

#endif // TUKTEST_NGINXSERVER_H
