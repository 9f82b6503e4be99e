#include "NginxServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace tuktest {

bool NginxServer::makeCertificate()
{
    QByteArray out;
    const QString dir = m_dir.path();
    if (runProgram(QStringLiteral("openssl"),
                   {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                    QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                    dir + QStringLiteral("/key.pem"), QStringLiteral("-out"),
                    dir + QStringLiteral("/cert.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                    QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                    QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1")},
                   &out))
        return true;
    m_error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(out);
    return false;
}

bool NginxServer::writeConfig(const QString& extraServerConfig)
{
    const QString dir = m_dir.path();
    // As root, nginx would hand its worker to "nobody", which cannot read our private folder.
    const QString user = ::geteuid() == 0 ? QStringLiteral("user root;\n") : QString();
    const QString conf = user + QStringLiteral(R"(daemon off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 512; }
http {
    access_log off;
    client_body_temp_path %1/tmp/body;
    proxy_temp_path %1/tmp/proxy;
    fastcgi_temp_path %1/tmp/fastcgi;
    uwsgi_temp_path %1/tmp/uwsgi;
    scgi_temp_path %1/tmp/scgi;
    types { text/plain txt; text/html html; application/octet-stream bin; }
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:%2;
        listen 127.0.0.1:%3 ssl;
        ssl_certificate %1/cert.pem;
        ssl_certificate_key %1/key.pem;
        root %1/www;
        location /noranges/ { max_ranges 0; }
%4
    }
}
)")
                                    .arg(dir)
                                    .arg(m_port)
                                    .arg(m_tlsPort)
                                    .arg(extraServerConfig);
    QFile f(dir + QStringLiteral("/nginx.conf"));
    if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write nginx.conf");
        return false;
    }
    return true;
}

bool NginxServer::start(const QString& extraServerConfig)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QDir(m_dir.path()).mkpath(QStringLiteral("www"));
    QDir(m_dir.path()).mkpath(QStringLiteral("tmp"));
    if (!QFileInfo::exists(certificatePath()) && !makeCertificate())
        return false;

    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freeLoopbackPort();
        m_tlsPort = freeLoopbackPort();
        if (m_port == m_tlsPort || !writeConfig(extraServerConfig))
            continue;
        m_process.setProgram(QStringLiteral("nginx"));
        m_process.setArguments({QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"),
                                m_dir.path() + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                                m_dir.path() + QStringLiteral("/error.log")});
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start nginx: ") + m_process.errorString();
            return false;
        }
        if (waitForListening(m_port) && waitForListening(m_tlsPort))
            return true;
        m_process.stop();
    }
    m_error = QStringLiteral("nginx did not start listening; see ") + m_dir.path() +
              QStringLiteral("/error.log");
    m_dir.setAutoRemove(false);
    return false;
}

QString NginxServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

QString NginxServer::httpsUrl(const QString& path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(m_tlsPort).arg(path);
}

bool NginxServer::writeFile(const QString& relativePath, const QByteArray& content) const
{
    const QString path = docRoot() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

bool NginxServer::makeSparseFile(const QString& relativePath, qint64 size) const
{
    const QString path = docRoot() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(size);
}

} // namespace tuktest
