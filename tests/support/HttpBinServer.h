#ifndef TUKTEST_HTTPBINSERVER_H
#define TUKTEST_HTTPBINSERVER_H

#include "TukTestEnv.h"

#include <QString>

namespace tuktest {

// httpbin (Debian's python3-httpbin) on a free loopback port, for echo, status codes, cookies,
// redirects, delays and drips. Stopped by the destructor.
class HttpBinServer
{
public:
    ~HttpBinServer() { stop(); }

    // Starts the server and waits until it accepts connections. Returns false with a reason in
    // errorString() when it cannot.
    bool start();
    void stop() { m_process.stop(); }

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT" followed by path (which should begin with "/").
    QString url(const QString& path = QString()) const;
    QString errorString() const { return m_error; }

private:
    ChildProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace tuktest

#endif // TUKTEST_HTTPBINSERVER_H
