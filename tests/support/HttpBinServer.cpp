#include "HttpBinServer.h"

namespace tuktest {

bool HttpBinServer::start()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freeLoopbackPort();
        // Debian's httpbin is only visible to Debian's own interpreter.
        m_process.setProgram(QStringLiteral("/usr/bin/python3"));
        m_process.setArguments({QStringLiteral("-W"), QStringLiteral("ignore"),
                                QStringLiteral("-m"), QStringLiteral("httpbin.core"),
                                QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                QStringLiteral("--port"), QString::number(m_port)});
        // Its access log would drown the test output.
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start /usr/bin/python3 -m httpbin.core: ") +
                      m_process.errorString();
            return false;
        }
        if (waitForListening(m_port))
            return true;
        m_process.stop(); // the port may have been taken in between: try another one
    }
    m_error = QStringLiteral("httpbin did not start listening");
    return false;
}

QString HttpBinServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

} // namespace tuktest
