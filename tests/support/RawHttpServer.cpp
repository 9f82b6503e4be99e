#include "RawHttpServer.h"

#include <QMutexLocker>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>

namespace tuktest {

QByteArray RawRequest::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

int RawRequest::headerCount(const QByteArray& name) const
{
    int n = 0;
    for (const auto& h : headers)
        n += h.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
    return n;
}

// One client connection, parsed incrementally on the server's thread.
class RawConnection : public QObject
{
public:
    RawConnection(RawHttpServer* owner, QTcpSocket* socket)
        : QObject(socket), m_owner(owner), m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { consume(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    enum State
    {
        Head,
        FixedBody,
        ChunkSize,
        ChunkData,
        ChunkTrailer,
        Hanging
    };

    void consume()
    {
        m_buffer += m_socket->readAll();
        bool progress = true;
        while (progress)
            progress = step();
    }

    bool step()
    {
        switch (m_state) {
        case Head: {
            const int end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return false;
            m_request = RawRequest();
            m_request.head = m_buffer.left(end + 4);
            m_buffer.remove(0, end + 4);
            parseHead();
            m_owner->noteHead();
            if (m_request.header("Transfer-Encoding").toLower().contains("chunked")) {
                m_state = ChunkSize;
            } else {
                m_remaining = m_request.header("Content-Length").trimmed().toLongLong();
                m_state = FixedBody;
            }
            return true;
        }
        case FixedBody: {
            const qint64 n = qMin<qint64>(m_remaining, m_buffer.size());
            takeBody(n);
            m_remaining -= n;
            if (m_remaining > 0)
                return false;
            finishRequest();
            return true;
        }
        case ChunkSize: {
            const int eol = m_buffer.indexOf("\r\n");
            if (eol < 0)
                return false;
            bool ok = false;
            m_remaining = m_buffer.left(eol).split(';').first().trimmed().toLongLong(&ok, 16);
            m_buffer.remove(0, eol + 2);
            m_state = m_remaining > 0 ? ChunkData : ChunkTrailer;
            return true;
        }
        case ChunkData: {
            const qint64 n = qMin<qint64>(m_remaining, m_buffer.size());
            takeBody(n);
            m_remaining -= n;
            if (m_remaining > 0 || m_buffer.size() < 2)
                return false;
            m_buffer.remove(0, 2); // CRLF after the chunk
            m_state = ChunkSize;
            return true;
        }
        case ChunkTrailer: {
            const int eol = m_buffer.indexOf("\r\n");
            if (eol < 0)
                return false;
            m_buffer.remove(0, eol + 2);
            if (eol == 0)
                finishRequest();
            return true;
        }
        case Hanging:
            m_buffer.clear();
            return false;
        }
        return false;
    }

    void parseHead()
    {
        const QList<QByteArray> lines = m_request.head.split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        m_request.method = first.value(0);
        m_request.target = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i);
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            QByteArray value = line.mid(colon + 1);
            if (value.endsWith('\r'))
                value.chop(1);
            // Drop the single optional space after the colon, keep every other byte as sent.
            if (value.startsWith(' '))
                value.remove(0, 1);
            m_request.headers.append({line.left(colon), value});
        }
    }

    void takeBody(qint64 n)
    {
        const qint64 room = qMax<qint64>(0, m_owner->m_captureLimit - m_request.body.size());
        m_request.body += m_buffer.left(int(qMin(n, room)));
        m_request.bodySize += n;
        m_buffer.remove(0, int(n));
    }

    void finishRequest()
    {
        m_owner->record(m_request);
        const RawResponse response = m_owner->m_handler(m_request);
        if (response.hang) {
            m_state = Hanging;
            return;
        }
        m_state = Head;
        m_socket->write(response.bytes);
        if (response.closeAfter)
            m_socket->disconnectFromHost();
    }

    RawHttpServer* m_owner;
    QTcpSocket* m_socket;
    QByteArray m_buffer;
    State m_state = Head;
    qint64 m_remaining = 0;
    RawRequest m_request;
};

RawHttpServer::RawHttpServer()
{
    m_handler = [](const RawRequest&) {
        return reply(200, "ok");
    };
    m_thread.setObjectName(QStringLiteral("RawHttpServer"));
}

RawHttpServer::~RawHttpServer()
{
    if (m_thread.isRunning()) {
        QMetaObject::invokeMethod(
            m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
}

void RawHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}
void RawHttpServer::setBodyCaptureLimit(qint64 bytes)
{
    m_captureLimit = bytes;
}

bool RawHttpServer::start()
{
    m_thread.start();
    QSemaphore ready;
    bool ok = false;
    auto* starter = new QObject;
    starter->moveToThread(&m_thread);
    QMetaObject::invokeMethod(
        starter,
        [&, starter] {
            m_server = new QTcpServer;
            ok = m_server->listen(QHostAddress::LocalHost, 0);
            m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
                while (QTcpSocket* s = m_server->nextPendingConnection()) {
                    noteConnection();
                    new RawConnection(this, s);
                }
            });
            delete starter;
            ready.release();
        },
        Qt::QueuedConnection);
    ready.acquire();
    return ok;
}

QString RawHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

QList<RawRequest> RawHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int RawHttpServer::requestCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests.size();
}

int RawHttpServer::headsSeen() const
{
    QMutexLocker lock(&m_mutex);
    return m_heads;
}

int RawHttpServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

void RawHttpServer::record(const RawRequest& r)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(r);
}

void RawHttpServer::noteHead()
{
    QMutexLocker lock(&m_mutex);
    ++m_heads;
}

void RawHttpServer::noteConnection()
{
    QMutexLocker lock(&m_mutex);
    ++m_connections;
}

RawResponse RawHttpServer::reply(int status, const QByteArray& body,
                                 const QList<QPair<QByteArray, QByteArray>>& headers)
{
    RawResponse r;
    r.bytes = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    bool hasLength = false;
    for (const auto& h : headers) {
        r.bytes += h.first + ": " + h.second + "\r\n";
        hasLength = hasLength || h.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
    }
    if (!hasLength)
        r.bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    r.bytes += "Connection: close\r\n\r\n" + body;
    return r;
}

RawResponse RawHttpServer::neverAnswer()
{
    RawResponse r;
    r.hang = true;
    return r;
}

} // namespace tuktest
