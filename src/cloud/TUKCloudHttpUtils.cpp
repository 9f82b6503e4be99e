#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "module/TUKModule_p.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QHttpPart>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace {

// How many 302 answers one call follows; the next one ends the call with its failure value.
constexpr int kMaxRedirects = 20;

using CookieMap = QMap<QString, QString>;

QUrl parseUrl(const QString& text)
{
    return QUrl(text, QUrl::TolerantMode);
}

// A request for the URL with the library's User-Agent and nothing else: Qt's default TLS
// configuration and no redirect policy, so the network layer follows nothing by itself.
QNetworkRequest baseRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, tuk::module::userAgent);
    return request;
}

// Runs a nested event loop until the reply finishes or, when alsoOnProgress is set, until its
// first download-progress report, whichever comes first. No time limit.
void waitFor(QNetworkReply* reply, bool alsoOnProgress = false)
{
    QEventLoop loop;
    QObject::connect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    if (alsoOnProgress)
        QObject::connect(reply, SIGNAL(downloadProgress(qint64, qint64)), &loop, SLOT(quit()));
    loop.exec();
}

int httpStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Text of the Location of a 302; empty when Qt does not accept it as a URL.
QString locationText(const QNetworkReply* reply)
{
    return reply->header(QNetworkRequest::LocationHeader).toUrl().toString();
}

// The cookies that the manager's jar holds for url, name to value.
void harvestCookies(QNetworkAccessManager& manager, const QUrl& url, CookieMap& into)
{
    QNetworkCookieJar* jar = manager.cookieJar();
    if (!jar)
        return;
    const QList<QNetworkCookie> cookies = jar->cookiesForUrl(url);
    for (const QNetworkCookie& cookie : cookies)
        into.insert(QString::fromUtf8(cookie.name()), QString::fromUtf8(cookie.value()));
}

QString decodeBody(QNetworkReply* reply)
{
    const QString contentType = QString::fromUtf8(reply->rawHeader("Content-Type"));
    const QByteArray body = reply->readAll();
    if (contentType.contains(QLatin1String("charset=utf-8"), Qt::CaseInsensitive))
        return QString::fromUtf8(body);
    return QString::fromLocal8Bit(body);
}

QString joinParams(const QStringList& params)
{
    QString joined;
    for (const QString& item : params) {
        if (joined.isEmpty())
            joined = item;
        else
            joined += QLatin1Char('&') + item;
    }
    return joined;
}

} // namespace

TUKCloudHttpUtils::TUKCloudHttpUtils() : QObject(nullptr) {}

TUKCloudHttpUtils::~TUKCloudHttpUtils() = default;

QString TUKCloudHttpUtils::get(const QString& url, const QMap<QString, QString>& inCookies,
                               QMap<QString, QString>& outCookies)
{
    outCookies.clear();
    return request(url, QByteArray(), QString(), false, inCookies, outCookies);
}

QString TUKCloudHttpUtils::post(const QString& url, const QByteArray& data,
                                const QString& contentType, QMap<QString, QString>& inCookies,
                                QMap<QString, QString>& outCookies)
{
    outCookies.clear();
    return request(url, data, contentType, true, inCookies, outCookies);
}

QString TUKCloudHttpUtils::post(const QString& url, const QStringList& params,
                                const QString& contentType, QMap<QString, QString>& inCookies,
                                QMap<QString, QString>& outCookies)
{
    outCookies.clear();
    return request(url, joinParams(params).toUtf8(), contentType, true, inCookies, outCookies);
}

QString TUKCloudHttpUtils::request(const QString& url, const QByteArray& data,
                                   const QString& contentType, bool isPost,
                                   const QMap<QString, QString>& inCookies,
                                   QMap<QString, QString>& outCookies)
{
    // A 302 turns the call into a GET of the Location that carries only the cookies the 302
    // reply set. The chain is walked here in a loop rather than by nested calls.
    QString currentUrl = url;
    CookieMap cookiesToSend = inCookies; // copied: inCookies may be outCookies itself
    bool post = isPost;
    int redirects = 0;

    for (;;) {
        const QUrl target = parseUrl(currentUrl);
        if (!target.isValid())
            return QString();

        QNetworkAccessManager manager;
        QNetworkRequest req = baseRequest(target);

        QList<QNetworkCookie> cookies;
        for (auto it = cookiesToSend.cbegin(); it != cookiesToSend.cend(); ++it) {
            if (!it.key().isEmpty() && !it.value().isEmpty())
                cookies.append(QNetworkCookie(it.key().toUtf8(), it.value().toUtf8()));
        }
        if (!cookies.isEmpty())
            req.setHeader(QNetworkRequest::CookieHeader, QVariant::fromValue(cookies));

        QNetworkReply* reply = nullptr;
        if (post) {
            req.setHeader(QNetworkRequest::ContentTypeHeader,
                          contentType.isEmpty()
                              ? QStringLiteral("application/x-www-form-urlencoded")
                              : contentType);
            reply = manager.post(req, data);
        } else {
            reply = manager.get(req);
        }
        if (!reply)
            return QString();

        waitFor(reply);

        if (reply->error() != QNetworkReply::NoError) {
            reply->deleteLater();
            return QString();
        }

        const int status = httpStatus(reply);
        if (status == 302) {
            if (++redirects > kMaxRedirects) {
                reply->deleteLater();
                outCookies.clear();
                return QString();
            }
            CookieMap fresh;
            harvestCookies(manager, target, fresh);
            currentUrl = locationText(reply);
            reply->deleteLater();
            cookiesToSend = fresh;
            post = false;
            outCookies.clear(); // the follow-up is a get(), which starts from an empty map
            continue;
        }
        if (status < 200 || status > 399) {
            reply->deleteLater();
            return QString();
        }

        const QString text = decodeBody(reply);
        harvestCookies(manager, target, outCookies);
        reply->deleteLater();
        return text;
    }
}

qint64 TUKCloudHttpUtils::getRemoteFileSize(const QString& url)
{
    QString currentUrl = url;
    for (int redirects = 0;; ++redirects) {
        const QUrl target = parseUrl(currentUrl);
        if (!target.isValid())
            return 0;

        QNetworkAccessManager manager;
        QNetworkReply* reply = manager.head(baseRequest(target));
        if (!reply)
            return 0;
        waitFor(reply);

        if (reply->error() != QNetworkReply::NoError) {
            reply->deleteLater();
            return 0;
        }
        const int status = httpStatus(reply);
        if (status == 302 && redirects < kMaxRedirects) {
            currentUrl = locationText(reply);
            reply->deleteLater();
            continue;
        }
        qint64 size = 0;
        if (status == 200)
            size = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        reply->deleteLater();
        return size;
    }
}

bool TUKCloudHttpUtils::isSupportResumeDownload(const QString& url)
{
    QString currentUrl = url;
    for (int redirects = 0;; ++redirects) {
        const QUrl target = parseUrl(currentUrl);
        if (!target.isValid())
            return false;

        // Destroying the manager at the end of this scope aborts whatever the reply still has
        // to deliver: the body is never read to the end.
        QNetworkAccessManager manager;
        QNetworkRequest req = baseRequest(target);
        req.setRawHeader("Range", "bytes=0-1");
        QNetworkReply* reply = manager.get(req);
        if (!reply)
            return false;
        waitFor(reply, true);

        if (reply->error() != QNetworkReply::NoError) {
            reply->deleteLater();
            return false;
        }
        const int status = httpStatus(reply);
        if (status == 302 && redirects < kMaxRedirects) {
            currentUrl = locationText(reply);
            reply->deleteLater();
            continue;
        }
        bool resumable = false;
        if (status == 206)
            resumable = true;
        else if (status != 302)
            resumable = reply->hasRawHeader("Content-Range");
        reply->deleteLater();
        return resumable;
    }
}

QString TUKCloudHttpUtils::uploadFileToPYX(const QString& url, const QString& accessToken,
                                           const QString& filePath, const QString& fileContentType)
{
    const QUrl target = parseUrl(url);
    if (!target.isValid())
        return QString();
    if (!QFile::exists(filePath))
        return QString();

    // Declared before the manager so that the reply, which the manager owns, is gone before the
    // multipart body and the file it streams from.
    QFile file(filePath);
    QHttpMultiPart multiPart(QHttpMultiPart::FormDataType);

    QNetworkAccessManager manager;
    QNetworkRequest req = baseRequest(target);

    const QString boundary =
        QStringLiteral("----------------") +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmsszzz"));
    req.setHeader(QNetworkRequest::ContentTypeHeader,
                  QString(QStringLiteral("multipart/form-data;boundary=") + boundary));

    multiPart.setBoundary(boundary.toUtf8());

    QHttpPart tokenPart;
    tokenPart.setHeader(QNetworkRequest::ContentDispositionHeader,
                        QByteArrayLiteral("form-data; name=\"access_token\""));
    tokenPart.setBody(accessToken.toUtf8());
    multiPart.append(tokenPart);

    QHttpPart projectPart;
    projectPart.setHeader(QNetworkRequest::ContentDispositionHeader,
                          QByteArrayLiteral("form-data; name=\"project_name\""));
    projectPart.setBody(QByteArrayLiteral("kpl_web"));
    multiPart.append(projectPart);

    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QByteArray("form-data; name=\"upload_file\"; filename=\"" +
                                  QFileInfo(filePath).fileName().toUtf8() + '"'));
    if (!fileContentType.isEmpty())
        filePart.setHeader(QNetworkRequest::ContentTypeHeader, fileContentType.toUtf8());

    if (!file.open(QIODevice::ReadOnly))
        return QString();
    filePart.setBodyDevice(&file);
    multiPart.append(filePart);

    QNetworkReply* reply = manager.post(req, &multiPart);
    if (!reply)
        return QString();
    waitFor(reply);

    QString text;
    const int status = httpStatus(reply);
    if (reply->error() == QNetworkReply::NoError && status >= 200 && status <= 399)
        text = decodeBody(reply);
    file.close();
    reply->deleteLater();
    return text;
}
