#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "core/TUKBlockingWait_p.h"
#include "core/TUKBodyCheck_p.h"
#include "core/TUKLogging_p.h"
#include "core/TUKReplyWatch_p.h"
#include "module/TUKModule_p.h"

#include <QDateTime>
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

#include <functional>
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

// The body as text: UTF-8 when the Content-Type names charset=utf-8, else the local 8-bit code
// page. False when the body is shorter than the server announced.
bool decodeBody(QNetworkReply* reply, QString& text)
{
    const QByteArray body = tuk::readFinishedBody(reply);
    if (!tuk::bodyCutShortText(reply, body.size()).isEmpty())
        return false;
    const QString contentType = QString::fromUtf8(reply->rawHeader("Content-Type"));
    if (contentType.contains(QLatin1String("charset=utf-8"), Qt::CaseInsensitive))
        text = QString::fromUtf8(body);
    else
        text = QString::fromLocal8Bit(body);
    return true;
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

void addCookies(QNetworkRequest& request, const CookieMap& cookies)
{
    QList<QNetworkCookie> list;
    for (auto it = cookies.cbegin(); it != cookies.cend(); ++it) {
        if (!it.key().isEmpty() && !it.value().isEmpty())
            list.append(QNetworkCookie(it.key().toUtf8(), it.value().toUtf8()));
    }
    if (!list.isEmpty())
        request.setHeader(QNetworkRequest::CookieHeader, QVariant::fromValue(list));
}

// Walks a chain of 302 answers. For the first URL and then for the Location of each 302 answer
// (at most kMaxRedirects of them), a new access manager is made and send(manager, url, hop) makes
// the request, hop counting from 0; the reply is waited for with the library's wait, without a
// time limit, until it finishes or, with endOnProgress, until its first download-progress report.
// At a 302, redirected(manager, url) runs before the next hop. Returns false, calling nothing
// more, on: a URL that does not parse (an empty or unusable Location included), no reply, a wait
// ended from outside, an error the reply reports, one 302 too many. Otherwise arrived(reply,
// manager, url) gets the last reply, whose status is not 302, and true is returned. Each hop's
// manager, and with it its reply, is gone when the hop ends: a transfer not read to its end is
// dropped.
using Send = std::function<QNetworkReply*(QNetworkAccessManager&, const QUrl&, int)>;
using Hop = std::function<void(QNetworkReply*, QNetworkAccessManager&, const QUrl&)>;

bool walkRedirects(const QString& url, bool endOnProgress, const Send& send, const Hop& redirected,
                   const Hop& arrived)
{
    QString currentUrl = url;
    for (int hop = 0;; ++hop) {
        const QUrl target = parseUrl(currentUrl);
        if (!target.isValid())
            return false;

        QNetworkAccessManager manager;
        QNetworkReply* reply = send(manager, target, hop);
        if (!reply)
            return false;
        tuk::ReplyWatch watch(&manager);
        watch.replyStarted();
        tuk::BlockingWait wait(0);
        wait.endOn(reply, &QNetworkReply::finished);
        if (endOnProgress)
            wait.endOn(reply, &QNetworkReply::downloadProgress);
        if (wait.exec() != tuk::BlockingWait::End::Done || reply->error() != QNetworkReply::NoError)
            return false;

        if (httpStatus(reply) != 302) {
            arrived(reply, manager, target);
            return true;
        }
        if (hop == kMaxRedirects) {
            qCDebug(tuk::log::cloud) << "more than" << kMaxRedirects << "redirects from" << url;
            return false;
        }
        if (redirected)
            redirected(reply, manager, target);
        currentUrl = locationText(reply);
    }
}

// "----------------" and the local date and time to the millisecond: 33 characters.
QString storeBoundary()
{
    return QStringLiteral("----------------") +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmsszzz"));
}

// The form of an upload to the file store, in this order: the access token, the project name and
// the file, whose bytes are streamed from the open \a file while sending.
std::unique_ptr<QHttpMultiPart> storeForm(const QString& boundary, const QString& accessToken,
                                          QFile* file, const QString& fileContentType)
{
    auto form = std::make_unique<QHttpMultiPart>(QHttpMultiPart::FormDataType);
    form->setBoundary(boundary.toUtf8());
    auto field = [&form](const QByteArray& disposition, const QByteArray& body) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
        part.setBody(body);
        form->append(part);
    };
    field(QByteArrayLiteral("form-data; name=\"access_token\""), accessToken.toUtf8());
    field(QByteArrayLiteral("form-data; name=\"project_name\""), QByteArrayLiteral("kpl_web"));

    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QByteArray("form-data; name=\"upload_file\"; filename=\"" +
                                  QFileInfo(file->fileName()).fileName().toUtf8() + '"'));
    if (!fileContentType.isEmpty())
        filePart.setHeader(QNetworkRequest::ContentTypeHeader, fileContentType.toUtf8());
    filePart.setBodyDevice(file);
    form->append(filePart);
    return form;
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
    // reply set, and whose outcome is the call's.
    CookieMap cookiesToSend = inCookies; // copied: inCookies may be outCookies itself
    QString text;
    const auto send = [&](QNetworkAccessManager& manager, const QUrl& target, int hop) {
        QNetworkRequest req = baseRequest(target);
        addCookies(req, cookiesToSend);
        if (!isPost || hop > 0)
            return manager.get(req);
        req.setHeader(QNetworkRequest::ContentTypeHeader,
                      contentType.isEmpty() ? QStringLiteral("application/x-www-form-urlencoded")
                                            : contentType);
        return manager.post(req, data);
    };
    const auto redirected = [&](QNetworkReply*, QNetworkAccessManager& manager,
                                const QUrl& target) {
        cookiesToSend.clear();
        harvestCookies(manager, target, cookiesToSend);
        outCookies.clear(); // the follow-up starts from an empty map
    };
    const auto arrived = [&](QNetworkReply* reply, QNetworkAccessManager& manager,
                             const QUrl& target) {
        const int status = httpStatus(reply);
        if (status >= 200 && status <= 399 && decodeBody(reply, text))
            harvestCookies(manager, target, outCookies);
    };
    walkRedirects(url, false, send, redirected, arrived);
    return text;
}

qint64 TUKCloudHttpUtils::getRemoteFileSize(const QString& url)
{
    qint64 size = 0;
    walkRedirects(
        url, false,
        [](QNetworkAccessManager& manager, const QUrl& target, int) {
            return manager.head(baseRequest(target));
        },
        nullptr,
        [&size](QNetworkReply* reply, QNetworkAccessManager&, const QUrl&) {
            if (httpStatus(reply) == 200)
                size = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        });
    return size;
}

bool TUKCloudHttpUtils::isSupportResumeDownload(const QString& url)
{
    // The wait ends at the first progress report: a server that ignores the range and sends the
    // whole file is not read to its end.
    bool resumable = false;
    walkRedirects(
        url, true,
        [](QNetworkAccessManager& manager, const QUrl& target, int) {
            QNetworkRequest req = baseRequest(target);
            req.setRawHeader("Range", "bytes=0-1");
            return manager.get(req);
        },
        nullptr,
        [&resumable](QNetworkReply* reply, QNetworkAccessManager&, const QUrl&) {
            resumable = httpStatus(reply) == 206 || reply->hasRawHeader("Content-Range");
        });
    return resumable;
}

QString TUKCloudHttpUtils::uploadFileToPYX(const QString& url, const QString& accessToken,
                                           const QString& filePath, const QString& fileContentType)
{
    const QUrl target = parseUrl(url);
    if (!target.isValid() || !QFile::exists(filePath))
        return QString();
    // The file and the form are declared before the manager so that the reply, which the manager
    // owns, is gone before the body it streams from.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString boundary = storeBoundary();
    const std::unique_ptr<QHttpMultiPart> form =
        storeForm(boundary, accessToken, &file, fileContentType);

    QNetworkAccessManager manager;
    QNetworkRequest req = baseRequest(target);
    req.setHeader(QNetworkRequest::ContentTypeHeader,
                  QString(QStringLiteral("multipart/form-data;boundary=") + boundary));
    QNetworkReply* reply = manager.post(req, form.get());
    if (!reply)
        return QString();
    tuk::ReplyWatch watch(&manager);
    watch.replyStarted();
    tuk::BlockingWait wait(0);
    wait.endOn(reply, &QNetworkReply::finished);
    const bool ended = wait.exec() == tuk::BlockingWait::End::Done;

    // Redirects are not followed: a 3xx answer counts as success.
    QString text;
    const int status = httpStatus(reply);
    if (ended && reply->error() == QNetworkReply::NoError && status >= 200 && status <= 399)
        decodeBody(reply, text);
    file.close();
    reply->deleteLater();
    return text;
}
