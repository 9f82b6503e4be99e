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
    if (length.isValid())
        return length.toLongLong();
    // A part of a resource announces its length in its range, "bytes FIRST-LAST/TOTAL", also when
    // the body is chunked or ends with the connection.
    if (status == 206) {
        const QByteArray range = reply->rawHeader("Content-Range").trimmed();
        const int dash = range.indexOf('-'), slash = range.indexOf('/');
        bool okFirst = false, okLast = false;
        const qint64 first = range.mid(6, dash - 6).trimmed().toLongLong(&okFirst);
        const qint64 last = range.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&okLast);
        if (range.startsWith("bytes ") && dash > 0 && slash > dash && okFirst && okLast &&
            last >= first)
            return last - first + 1;
    }
    return -1;
}

QString bodyCutShortText(const QNetworkReply* reply, qint64 received)
{
    // The Content-Length alone settles the common case of a whole body, without the other checks.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && received >= length.toLongLong())
        return QString();
    const qint64 announced = announcedBodyLength(reply);
    if (announced < 0 || received >= announced)
        return QString();
    return QStringLiteral("The connection ended after %1 of the %2 body bytes the server announced")
        .arg(received)
        .arg(announced);
}

} // namespace tuk
