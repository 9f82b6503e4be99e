#ifndef TUKTEST_RAWHTTPSERVER_H
#define TUKTEST_RAWHTTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QThread>

#include <functional>

class QTcpServer;

namespace tuktest {

// One HTTP request exactly as it arrived.
struct RawRequest
{
    QByteArray head;   // request line and header lines, up to and including the blank line
    QByteArray method; // "GET", "POST", ...
    QByteArray target; // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers; // in arrival order, names as sent
    QByteArray body;     // at most RawHttpServer::setBodyCaptureLimit() bytes of the body
    qint64 bodySize = 0; // every body byte received (Content-Length or chunked)

    // Value of the first header with that name (case-insensitive); null when absent.
    QByteArray header(const QByteArray& name) const;
    int headerCount(const QByteArray& name) const;
};

// What the server does with one complete request.
struct RawResponse
{
    QByteArray bytes;       // written as they are
    bool closeAfter = true; // close the connection once the bytes are written
    bool hang = false; // write nothing and keep the connection open (a peer that never answers)
};

// A small HTTP/1.1 server of our own on a free loopback port, running on its own thread, for
// tests that must see the exact bytes of a request or need a misbehaving peer.
class RawHttpServer
{
public:
    using Handler = std::function<RawResponse(const RawRequest&)>;

    RawHttpServer();
    ~RawHttpServer();

    // The handler runs on the server's thread. The default answers 200 with body "ok".
    void setHandler(Handler handler);
    // Keeps at most this many body bytes of each request; the rest is counted, not kept.
    void setBodyCaptureLimit(qint64 bytes);

    bool start(); // listens on 127.0.0.1, free port
    quint16 port() const { return m_port; }
    QString url(const QString& path = QString()) const;

    QList<RawRequest> requests() const;
    int requestCount() const;
    // Requests whose head has arrived, including ones whose body is still coming.
    int headsSeen() const;
    int connectionCount() const;

    // Helpers for handlers.
    static RawResponse reply(int status, const QByteArray& body,
                             const QList<QPair<QByteArray, QByteArray>>& headers = {});
    static RawResponse neverAnswer();

private:
    friend class RawConnection;
    void record(const RawRequest& r);
    void noteHead();
    void noteConnection();

    QThread m_thread;
    QTcpServer* m_server = nullptr; // lives on m_thread
    quint16 m_port = 0;
    Handler m_handler;
    qint64 m_captureLimit = 64 * 1024 * 1024;
    mutable QMutex m_mutex;
    QList<RawRequest> m_requests;
    int m_heads = 0;
    int m_connections = 0;
};

} // namespace tuktest

#endif // TUKTEST_RAWHTTPSERVER_H
