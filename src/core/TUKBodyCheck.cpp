#include "core/TUKBodyCheck_p.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace tuk {

qint64 announcedBodyLength(const QNetworkReply* reply)
{
    if (reply->operation() == QNetworkAccessManager::HeadOperation)
        return -1;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 204 || status == 304)
        return -1;
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return -1;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

QString bodyCutShortText(const QNetworkReply* reply, qint64 received)
{
    // The Content-Length alone settles the common case of a whole body, without the other checks.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid() || received >= length.toLongLong())
        return QString();
    const qint64 announced = announcedBodyLength(reply);
    if (announced < 0 || received >= announced)
        return QString();
    return QStringLiteral("The connection ended after %1 of the %2 body bytes the server announced")
        .arg(received)
        .arg(announced);
}

} // namespace tuk
