#ifndef TUKTEST_TESTSUPPORT_H
#define TUKTEST_TESTSUPPORT_H

// What the tests share: tables, file helpers, recorders of Qt messages and network replies, and our
// HTTP server, on a loopback port it holds from the start (no race for a port, no wait for one).
#include <QtNetwork>
#include <QtTest>

#include <functional>
#include <netinet/in.h>
#include <unistd.h>

namespace tuktest {

// A test's table: one column "row", and a row named after each entry's `name`.
template <typename Row> void addRows(const QList<Row>& rows)
{
    QTest::addColumn<Row>("row");
    for (const Row& r : rows)
        QTest::newRow(r.name) << r;
}

inline bool writeFile(const QString& path, const QByteArray& data) // makes missing folders
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

inline QByteArray pattern(int size) // no two nearby offsets hold the same byte
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char(i * 7 + i / 251);
    return b;
}

// A port of 127.0.0.1 held by us, where nothing listens, for the life of the process.
inline QString refusedUrl()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); // bound, never listening
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return QString("http://127.0.0.1:%1/").arg(ntohs(a.sin_port));
}

// The Qt messages since the last call; recorded from the first call on.
inline QStringList takeMessages()
{
    static QMutex mutex;
    static QStringList messages;
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            QMutexLocker lock(&mutex);
            messages << text;
            previous(type, context, text);
        });
    QMutexLocker lock(&mutex);
    return std::exchange(messages, QStringList());
}

// Every network reply this thread makes while it exists; with exitOnData, the first bytes any
// of them receives end the application's event loops, as QCoreApplication::exit() does.
struct ReplyWatch : QObject
{
    explicit ReplyWatch(bool exitOnData = false) : m_exitOnData(exitOnData)
    {
        QCoreApplication::instance()->installEventFilter(this); // not qApp: no QGuiApplication
    }
    int alive() const // those not deleted yet
    {
        return int(std::count_if(m_children.begin(), m_children.end(),
                                 [](const auto& c) { return qobject_cast<QNetworkReply*>(c); }));
    }
    // A reply announces itself to its access manager while it is built, before any answer.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ChildAdded || !qobject_cast<QNetworkAccessManager*>(watched))
            return false;
        m_children << static_cast<QChildEvent*>(event)->child();
        if (m_exitOnData) // once it is built
            QTimer::singleShot(0, this, [child = m_children.last()] {
                if (auto* reply = qobject_cast<QNetworkReply*>(child))
                    connect(reply, &QIODevice::readyRead, reply, [] { QCoreApplication::exit(); });
            });
        return false;
    }
    QList<QPointer<QObject>> m_children;
    bool m_exitOnData;
};

struct Request
{
    QByteArray method, target, body;
    QMap<QByteArray, QByteArray> headers; // by lower-case name, each value as sent
    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
};

// What the server writes: `bytes` at once, then each of `later` 200 ms after the one before;
// then it closes the connection, unless keepOpen.
struct Reply
{
    QByteArray bytes;
    QByteArrayList later{};
    bool keepOpen = false;
};
using Headers = QList<QPair<QByteArray, QByteArray>>;

inline Reply reply(int status, const QByteArray& body = QByteArray(), const Headers& headers = {})
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto& h : headers)
        bytes += h.first + ": " + h.second + "\r\n";
    if (!bytes.contains("Content-Length"))
        bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return {bytes + "Connection: close\r\n\r\n" + body};
}

inline Reply stall(const QByteArray& bytes = QByteArray(), const QByteArrayList& later = {})
{
    return {bytes, later, true};
}

// Our HTTP/1.1 server, served by the test thread's event loop, which the library's blocking
// calls keep running too; with tls, over TLS with a self-signed certificate for 127.0.0.1.
// Requests have Content-Length bodies only (Qt sends no other kind).
class TestServer : public QTcpServer
{
public:
    using Handler = std::function<Reply(const Request&)>;
    explicit TestServer(Handler handler, bool tls = false) : handler(std::move(handler)), m_tls(tls)
    {
        const QString args =
            "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "
            "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout %1/key -out %1/cert";
        QProcess openssl;
        if (tls)
            openssl.start("openssl", args.arg(m_dir.path()).split(' '));
        openssl.waitForFinished(60000);
        listen(QHostAddress::LocalHost);
        m_base = QString("http%1://127.0.0.1:%2").arg(tls ? "s" : "").arg(serverPort());
    }
    QString url(QString path = {}) const { return path.prepend(m_base); }
    Handler handler;
    QList<Request> requests;

private:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        if (m_tls) {
            socket->setProtocol(QSsl::TlsV1_2); // and no other
            socket->setLocalCertificate(m_dir.filePath("cert"));
            socket->setPrivateKey(m_dir.filePath("key"), QSsl::Ec);
            socket->startServerEncryption();
        }
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [=, pending = QByteArray()]() mutable {
            pending += socket->readAll();
            for (int end; (end = pending.indexOf("\r\n\r\n")) >= 0;) {
                const QList<QByteArray> lines = pending.left(end + 2).split('\n'),
                                        start = lines[0].split(' ');
                Request r{start.value(0), start.value(1), {}, {}};
                for (const QByteArray& line : lines.mid(1, lines.size() - 2)) {
                    // Every byte of the value as sent, but the space after the colon.
                    const QByteArray value = line.mid(line.indexOf(':') + 1).chopped(1);
                    r.headers[line.left(line.indexOf(':')).toLower()] =
                        value.mid(value.startsWith(' '));
                }
                const int length = end + 4 + r.header("Content-Length").toInt();
                if (pending.size() < length)
                    return;
                r.body = pending.mid(end + 4, length - end - 4);
                pending.remove(0, length);
                requests << r;
                const Reply answer = handler(r);
                const QByteArrayList parts = QByteArrayList{answer.bytes} + answer.later;
                for (int i = 0; i < parts.size(); ++i)
                    QTimer::singleShot(200 * i, socket, [=] {
                        socket->write(parts[i]);
                        if (i == parts.size() - 1 && !answer.keepOpen)
                            socket->disconnectFromHost();
                    });
            }
        });
    }
    QTemporaryDir m_dir;
    QString m_base;
    bool m_tls;
};

} // namespace tuktest

#endif // TUKTEST_TESTSUPPORT_H
