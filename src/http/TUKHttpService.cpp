#include "http/TUKHttpService_p.h"

#include "core/TUKBlockingWait_p.h"
#include "core/TUKBodyCheck_p.h"
#include "core/TUKLogging_p.h"

#include <QBuffer>
#include <QDebug>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTextCodec>
#include <QUrl>

namespace {

// POST, DELETE and PUT carry the form content type and never put the parameters into the URL;
// GET, HEAD and PATCH put them into the URL and never get the form content type.
bool isFormMethod(TUKHttpService::HttpMethod method)
{
    return method >= TUKHttpService::Post && method <= TUKHttpService::Put &&
           method != TUKHttpService::Head;
}

} // namespace

// ---- private record
// ------------------------------------------------------------------------------

QString TUKHttpServicePrivate::decode(const QByteArray& data) const
{
    if (!codec || codecName != encoding) {
        codec = QTextCodec::codecForName(encoding.toLocal8Bit());
        if (!codec)
            codec = QTextCodec::codecForName("UTF-8");
        codecName = encoding;
    }
    return codec->toUnicode(data);
}

QNetworkRequest TUKHttpServicePrivate::prepareRequest(const QString& urlText,
                                                      QSsl::SslProtocol protocol) const
{
    QNetworkRequest req(request);
    if (!urlParsed || parsedUrlText != urlText) {
        parsedUrl.setUrl(urlText, QUrl::TolerantMode);
        parsedUrlText = urlText;
        urlParsed = true;
    }
    req.setUrl(parsedUrl);
    if (isHttps(urlText)) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl.setProtocol(protocol);
        req.setSslConfiguration(ssl);
    }
    return req;
}

// ---- construction and setters
// --------------------------------------------------------------------

TUKHttpService::TUKHttpService(const QString& url)
    : QObject(nullptr), d(std::make_unique<TUKHttpServicePrivate>(url))
{}

TUKHttpService::~TUKHttpService() = default;

TUKHttpService& TUKHttpService::setUrl(const QString& url)
{
    d->url = url;
    return *this;
}

TUKHttpService& TUKHttpService::setBody(const QString& body)
{
    d->body = body;
    return *this;
}

TUKHttpService& TUKHttpService::setEncoding(const QString& encoding)
{
    d->encoding = encoding;
    return *this;
}

TUKHttpService& TUKHttpService::setTimeout(int timeoutMs)
{
    d->timeout = timeoutMs;
    return *this;
}

TUKHttpService& TUKHttpService::setDebug(bool debug)
{
    d->debug = debug;
    return *this;
}

TUKHttpService& TUKHttpService::setExecFlag(QEventLoop::ProcessEventsFlag flag)
{
    d->execFlag = flag;
    return *this;
}

TUKHttpService& TUKHttpService::setSslProtocol(QSsl::SslProtocol protocol)
{
    d->sslProtocol = protocol;
    return *this;
}

TUKHttpService& TUKHttpService::addHeader(const QString& name, const QString& value)
{
    d->headers[name] = value;
    return *this;
}

TUKHttpService& TUKHttpService::addParam(const QString& key, const QString& value)
{
    d->params.addQueryItem(key, value);
    return *this;
}

TUKHttpService& TUKHttpService::clearHeader()
{
    d->headers.clear();
    return *this;
}

TUKHttpService& TUKHttpService::clearParam()
{
    d->params.clear();
    return *this;
}

TUKHttpService& TUKHttpService::reset()
{
    const QString url = d->url;
    d.reset(); // the old manager and every reply it still owns go first
    d = std::make_unique<TUKHttpServicePrivate>(url);
    return *this;
}

// ---- dispatch
// ------------------------------------------------------------------------------------

QNetworkReply* TUKHttpService::executeInner(HttpMethod method)
{
    const bool form = isFormMethod(method);
    const QString encodedParams = d->params.toString(QUrl::FullyEncoded);

    QString urlText = d->url;
    if (!form && !d->params.isEmpty())
        urlText += QLatin1Char('?') + encodedParams;

    if (d->debug)
        qDebug() << urlText;

    QNetworkRequest req = d->prepareRequest(urlText, d->sslProtocol);
    if (form)
        req.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    for (auto it = d->headers.cbegin(); it != d->headers.cend(); ++it)
        req.setRawHeader(it.key().toUtf8(), it.value().toUtf8());

    QNetworkAccessManager& manager = d->manager;
    QNetworkReply* reply = nullptr;
    switch (method) {
    case Get:
        reply = manager.get(req);
        break;
    case Head:
        reply = manager.head(req);
        break;
    case Delete:
        reply = manager.deleteResource(req);
        break;
    case Post:
    case Put: {
        const QByteArray data = d->body.isEmpty() ? encodedParams.toUtf8() : d->body.toUtf8();
        reply = method == Post ? manager.post(req, data) : manager.put(req, data);
        break;
    }
    case Patch: {
        auto* buffer = new QBuffer;
        buffer->setData(d->body.toUtf8());
        reply = manager.sendCustomRequest(req, QByteArrayLiteral("PATCH"), buffer);
        buffer->setParent(reply); // lives exactly as long as the reply
        break;
    }
    }
    d->watch.replyStarted();
    return reply;
}

// ---- blocking and callback execution
// -------------------------------------------------------------

QString TUKHttpService::execute(HttpMethod method, NetworkError& error)
{
    QNetworkReply* reply = executeInner(method);
    tuk::BlockingWait wait(d->timeout);
    wait.endOn(reply, &QNetworkReply::finished);
    const tuk::BlockingWait::End end = wait.exec(QEventLoop::ProcessEventsFlags(d->execFlag));

    switch (end) {
    case tuk::BlockingWait::End::TimedOut:
        reply->deleteLater(); // not aborted: its deletion ends a transfer still running
        error = QNetworkReply::TimeoutError;
        qCDebug(tuk::log::http) << "time limit of" << d->timeout << "ms passed:" << reply->url();
        return QString("");
    case tuk::BlockingWait::End::Interrupted:
        reply->deleteLater();
        // Whatever arrived so far is not the answer: never report a cut body as success.
        error = QNetworkReply::OperationCanceledError;
        qCDebug(tuk::log::http) << "wait ended from outside:" << reply->url();
        return QString("");
    case tuk::BlockingWait::End::Done:
        break;
    }
    // The reply has finished and no signal of it is being delivered: it goes now, which spares
    // a deferred deletion (an event posted to this thread) per request.
    const std::unique_ptr<QNetworkReply> finished(reply);
    error = reply->error();
    if (error != QNetworkReply::NoError)
        return QString("");
    const QByteArray body = tuk::readFinishedBody(reply);
    if (!tuk::bodyCutShortText(reply, body.size()).isEmpty()) {
        error = tuk::kBodyCutShortError;
        return QString("");
    }
    return d->decode(body);
}

QString TUKHttpService::execute(HttpMethod method, std::function<void(const QString&)> onSuccess,
                                std::function<void(NetworkError, const QString&)> onFailure)
{
    QNetworkReply* reply = executeInner(method);

    // Both handlers release the reply, whichever callbacks are empty: every reply goes once it
    // has ended. A failed reply runs both (error first), which only schedules its deletion twice.
    connect(
        reply, &QNetworkReply::finished, reply,
        [reply, onSuccess, onFailure, this]() {
            reply->deleteLater();
            if (reply->error() != QNetworkReply::NoError)
                return;
            const QByteArray body = tuk::readFinishedBody(reply);
            const QString cutShort = tuk::bodyCutShortText(reply, body.size());
            if (cutShort.isEmpty()) {
                if (onSuccess)
                    onSuccess(d->decode(body));
            } else if (onFailure) {
                onFailure(tuk::kBodyCutShortError, cutShort);
            }
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::errorOccurred, reply,
        [reply, onFailure](QNetworkReply::NetworkError) {
            reply->deleteLater();
            if (onFailure)
                onFailure(reply->error(), reply->errorString());
        },
        Qt::DirectConnection);
    return QString("");
}

// ---- verbs
// ---------------------------------------------------------------------------------------

QString TUKHttpService::get(NetworkError& error)
{
    return execute(Get, error);
}
QString TUKHttpService::post(NetworkError& error)
{
    return execute(Post, error);
}
QString TUKHttpService::put(NetworkError& error)
{
    return execute(Put, error);
}
QString TUKHttpService::patch(NetworkError& error)
{
    return execute(Patch, error);
}
QString TUKHttpService::head(NetworkError& error)
{
    return execute(Head, error);
}
QString TUKHttpService::deleteResource(NetworkError& error)
{
    return execute(Delete, error);
}

void TUKHttpService::get(std::function<void(const QString&)> onSuccess,
                         std::function<void(NetworkError, const QString&)> onFailure)
{
    execute(Get, onSuccess, onFailure);
}

void TUKHttpService::post(std::function<void(const QString&)> onSuccess,
                          std::function<void(NetworkError, const QString&)> onFailure)
{
    execute(Post, onSuccess, onFailure);
}

void TUKHttpService::patch(std::function<void(const QString&)> onSuccess,
                           std::function<void(NetworkError, const QString&)> onFailure)
{
    execute(Patch, onSuccess, onFailure);
}
