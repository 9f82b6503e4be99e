// Streaming downloads and raw-body uploads of TUKHttpService.
#include "http/TUKHttpService_p.h"

#include "core/TUKBlockingWait_p.h"
#include "core/TUKBodyCheck_p.h"

#include <QFile>
#include <QIODevice>
#include <QPointer>
#include <QTimer>

namespace {

// Upper bound of the bytes a download reply keeps in memory before the data callback has taken
// them. Without a bound Qt reads the whole body into memory whenever the callback is slower than
// the network. Measured on loopback against curl (docs/transfer.md, transfer_bench --sweep):
// up to 512 KiB cost throughput; 1 MiB and 2 MiB came near curl (0.76-1.01x, within the noise of
// each other); 4 MiB, a little faster, went past 40 MiB peak RSS with a slow callback. 2 MiB is
// the largest size that keeps clear headroom under 40 MiB.
constexpr qint64 kReadBufferSize = 2 * 1024 * 1024;

// The uploads' content type, tab included: this exact value goes on the wire.
QString uploadContentType()
{
    return QStringLiteral("\tapplication/octet-stream");
}

QString noDataCallbackText()
{
    return QStringLiteral("No data callback given: the download was not started");
}

// Receiver of a transfer's connections; counts the body bytes handed to the caller.
class TransferReceiver : public QObject
{
public:
    using QObject::QObject;
    qint64 received = 0;
};

// Connections of one transfer. They all use a receiver of their own (a child of the reply, so it
// lives exactly as long as the reply), which lets a transfer cut its own handlers without
// touching the connections Qt itself keeps on the reply (those carry the abort to the network
// thread when the reply is deleted).
class TransferLinks
{
public:
    explicit TransferLinks(QNetworkReply* reply)
        : m_reply(reply), m_receiver(new TransferReceiver(reply))
    {}

    QObject* receiver() const { return m_receiver; }
    void cut() const
    {
        if (m_receiver)
            QObject::disconnect(m_reply, nullptr, m_receiver, nullptr);
    }

    // Every byte readable at this moment, in one read: readAll() would take it 16 KiB at a time,
    // each step telling Qt's network thread about the freed buffer space separately.
    QByteArray take() const
    {
        QByteArray chunk = m_reply->read(m_reply->bytesAvailable());
        if (m_receiver)
            m_receiver->received += chunk.size();
        return chunk;
    }

    // Empty when the body taken so far is as long as announced (or no length was announced).
    QString cutShortText() const
    {
        return tuk::bodyCutShortText(m_reply, m_receiver ? m_receiver->received : 0);
    }

private:
    QNetworkReply* m_reply;
    QPointer<TransferReceiver> m_receiver;
};

// A blocking transfer: the library's wait, the error, time-out and interruption reports, and the
// finish step that every way out goes through, after which no handler of the call runs. The
// handlers of the transfer itself connect to receiver() with a direct connection.
class BlockingTransfer
{
public:
    using ErrorCallback = std::function<void(QNetworkReply::NetworkError, const QString&)>;

    BlockingTransfer(QNetworkReply* reply, int timeout, ErrorCallback onError,
                     std::function<void()> onEnd = nullptr)
        : m_reply(reply), m_links(reply), m_wait(timeout), m_onError(std::move(onError)),
          m_onEnd(std::move(onEnd))
    {
        QObject::connect(
            reply, &QNetworkReply::errorOccurred, receiver(),
            [this](QNetworkReply::NetworkError) { fail(m_reply->error(), m_reply->errorString()); },
            Qt::DirectConnection);
    }

    QObject* receiver() const { return m_links.receiver(); }
    const TransferLinks& links() const { return m_links; }

    void finish()
    {
        if (m_ended)
            return;
        m_ended = true;
        m_links.cut();
        m_reply->deleteLater();
        m_wait.done();
        if (m_onEnd)
            m_onEnd();
    }

    // Waits until a handler has finished the transfer, the time limit (if any) has passed or the
    // wait was ended from outside; the last two are reported as errors.
    void run(int execFlag)
    {
        switch (m_wait.exec(QEventLoop::ProcessEventsFlags(execFlag))) {
        case tuk::BlockingWait::End::Done:
            break;
        case tuk::BlockingWait::End::TimedOut:
            fail(QNetworkReply::TimeoutError, m_reply->errorString());
            break;
        case tuk::BlockingWait::End::Interrupted:
            fail(QNetworkReply::OperationCanceledError, tuk::BlockingWait::interruptedText());
            break;
        }
    }

    // Reports the error (once) and ends the transfer.
    void fail(QNetworkReply::NetworkError code, const QString& text)
    {
        if (m_ended)
            return;
        if (m_onError)
            m_onError(code, text);
        finish();
    }

private:
    QNetworkReply* m_reply;
    const TransferLinks m_links;
    tuk::BlockingWait m_wait;
    ErrorCallback m_onError;
    std::function<void()> m_onEnd;
    bool m_ended = false;
};

// The body source of upload(): reads the caller's file, and once released it closes the file and
// never touches it again. The reply may still ask for data after upload() has returned (a request
// for more bytes can already be queued when the upload is abandoned); it then gets nothing, while
// the file may already be gone. Lives as a child of the reply.
class FileUploadSource : public QIODevice
{
public:
    explicit FileUploadSource(const QString& path) : m_file(path) {}

    bool openSource()
    {
        if (m_file.fileName().isEmpty() ||
            !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        m_size = m_file.size();
        m_sequential = m_file.isSequential();
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    void release()
    {
        m_released = true;
        m_file.close();
    }

    bool isSequential() const override { return m_sequential; }
    qint64 size() const override { return m_sequential ? QIODevice::size() : m_size; }
    bool seek(qint64 pos) override
    {
        if (m_released || !QIODevice::seek(pos))
            return false;
        return m_sequential || m_file.seek(pos);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (m_released)
            return 0; // nothing now, nothing later: the abandoned reply just waits for deletion
        const qint64 n = m_file.read(data, maxSize);
        // A pipe or other sequential file is read blocking: nothing read means its end, which
        // Qt (buffering such a body before sending it) needs to see as -1.
        return n == 0 && m_sequential ? -1 : n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_size = 0;
    bool m_sequential = false;
    bool m_released = false;
};

} // namespace

// ---- streaming downloads ------------------------------------------------------------------------

void TUKHttpService::downloadAsync(std::function<void(const QByteArray&, bool&)> onData,
                                   std::function<void()> onFinished,
                                   std::function<void(qint64, qint64)> onProgress,
                                   std::function<void(NetworkError, const QString&)> onError)
{
    if (!onData) {
        // Rejected before anything is sent; reported from the event loop like every other
        // outcome of this member, and not at all once the service is gone.
        if (onError)
            QTimer::singleShot(0, this, [onError] {
                onError(QNetworkReply::ProtocolInvalidOperationError, noDataCallbackText());
            });
        return;
    }

    QNetworkReply* reply = executeInner(Get);
    reply->setReadBufferSize(kReadBufferSize);
    const TransferLinks links(reply);
    QObject* receiver = links.receiver();

    connect(reply, &QIODevice::readyRead, receiver, [reply, links, onData] {
        const QByteArray chunk = links.take();
        bool stop = false;
        onData(chunk, stop);
        if (stop) {
            links.cut();
            reply->deleteLater();
        }
    });
    connect(reply, &QNetworkReply::finished, receiver, [reply, links, onFinished, onError] {
        const QString cutShort = links.cutShortText();
        links.cut();
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError)
            return;
        if (!cutShort.isEmpty()) {
            if (onError)
                onError(tuk::kBodyCutShortError, cutShort);
        } else if (onFinished) {
            onFinished();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, receiver,
            [onProgress](qint64 received, qint64 total) {
                if (onProgress)
                    onProgress(received, total);
            });
    connect(reply, &QNetworkReply::errorOccurred, receiver,
            [reply, links, onError](QNetworkReply::NetworkError) {
                links.cut();
                reply->deleteLater();
                if (onError)
                    onError(reply->error(), reply->errorString());
            });
}

void TUKHttpService::downloadSync(std::function<void(const QByteArray&, bool&)> onData,
                                  std::function<void(QNetworkReply*)> onFinished,
                                  std::function<void(qint64, qint64)> onProgress,
                                  std::function<void(NetworkError, const QString&)> onError)
{
    if (!onData) {
        if (onError)
            onError(QNetworkReply::ProtocolInvalidOperationError, noDataCallbackText());
        return;
    }

    QNetworkReply* reply = executeInner(Get);
    reply->setReadBufferSize(kReadBufferSize);
    BlockingTransfer transfer(reply, d->timeout, onError);
    QObject* receiver = transfer.receiver();

    connect(
        reply, &QIODevice::readyRead, receiver,
        [&] {
            const QByteArray chunk = transfer.links().take();
            bool stop = false;
            onData(chunk, stop);
            if (stop)
                transfer.finish();
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::finished, receiver,
        [&] {
            if (reply->error() == QNetworkReply::NoError) {
                const QString cutShort = transfer.links().cutShortText();
                if (!cutShort.isEmpty())
                    transfer.fail(tuk::kBodyCutShortError, cutShort);
                else if (onFinished)
                    onFinished(reply);
            }
            transfer.finish();
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::downloadProgress, receiver,
        [&](qint64 received, qint64 total) {
            if (onProgress)
                onProgress(received, total);
        },
        Qt::DirectConnection);
    transfer.run(d->execFlag);
}

// ---- uploads
// -------------------------------------------------------------------------------------

namespace {

// The wait shared by both uploads: a POST already sent, its handlers, the time limit and the
// finish step. `source` is null for a byte-array body.
void waitForUpload(QNetworkReply* reply, FileUploadSource* source, int timeout, int execFlag,
                   const std::function<void(QString)>& onSuccess,
                   const std::function<void()>& onFinished,
                   const std::function<void(qint64, qint64, bool&)>* onProgress,
                   const std::function<void(QNetworkReply::NetworkError, QString)>& onError)
{
    // Wrapped in a lambda: converting one std::function type into another would make the
    // library export type information of the standard library's function wrappers.
    auto reportError = [&onError](QNetworkReply::NetworkError code, const QString& text) {
        if (onError)
            onError(code, text);
    };
    BlockingTransfer transfer(reply, timeout, reportError, [source] {
        if (source)
            source->release();
    });
    QObject* receiver = transfer.receiver();

    QObject::connect(
        reply, &QNetworkReply::finished, receiver,
        [&] {
            if (reply->error() == QNetworkReply::NoError) {
                const QByteArray body = reply->readAll();
                const QString cutShort = tuk::bodyCutShortText(reply, body.size());
                if (!cutShort.isEmpty()) {
                    transfer.fail(tuk::kBodyCutShortError, cutShort);
                    return;
                }
                if (onSuccess)
                    onSuccess(QString(body)); // UTF-8, ends at the first zero byte
                if (onFinished)
                    onFinished();
            }
            transfer.finish();
        },
        Qt::DirectConnection);
    if (onProgress && *onProgress)
        QObject::connect(
            reply, &QNetworkReply::uploadProgress, receiver,
            [&](qint64 sent, qint64 total) {
                bool cancel = false;
                (*onProgress)(sent, total, cancel);
                if (cancel)
                    transfer.finish();
            },
            Qt::DirectConnection);
    transfer.run(execFlag);
}

} // namespace

void TUKHttpService::upload(const QString& filePath, std::function<void(QString)> onSuccess,
                            std::function<void()> onFinished,
                            std::function<void(qint64, qint64, bool&)> onProgress,
                            std::function<void(NetworkError, QString)> onError)
{
    // Uploads always use TLS 1.2 for https, whatever setSslProtocol() says.
    QNetworkRequest req = d->prepareRequest(d->url, QSsl::TlsV1_2);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(uploadContentType()));

    auto* source = new FileUploadSource(filePath);
    if (!source->openSource()) {
        delete source;
        return;
    }
    QNetworkReply* reply = d->manager.post(req, source);
    d->watch.replyStarted();
    source->setParent(reply); // outlives upload() exactly as long as the reply does
    waitForUpload(reply, source, d->timeout, d->execFlag, onSuccess, onFinished, &onProgress,
                  onError);
}

void TUKHttpService::uploadAppData(const QByteArray& data, std::function<void(QString)> onSuccess,
                                   std::function<void()> onFinished,
                                   std::function<void(NetworkError, QString)> onError)
{
    QNetworkRequest req = d->prepareRequest(d->url, QSsl::TlsV1_2);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(uploadContentType()));
    QNetworkReply* reply = d->manager.post(req, data);
    d->watch.replyStarted();
    waitForUpload(reply, nullptr, d->timeout, d->execFlag, onSuccess, onFinished, nullptr, onError);
}
