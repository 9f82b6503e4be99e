#ifndef TUKCLOUDUTILS_TUKBODYCHECK_P_H
#define TUKCLOUDUTILS_TUKBODYCHECK_P_H

#include <QNetworkReply>
#include <QString>

namespace tuk {

// Qt reports a body cut by the peer's close or reset as a success when the close is noticed a
// moment after the last byte arrived. Wherever the server announced the body's length, the library
// holds the bytes received against it and reports a short body as a failure with this code.
constexpr QNetworkReply::NetworkError kBodyCutShortError = QNetworkReply::RemoteHostClosedError;

// The body length the reply announced (Content-Length, or for a 206 without it the range of its
// Content-Range), or -1 when there is none to hold the body against: no such header, a HEAD
// request, a status without a body (204, 304), or a body the network layer decodes (any
// Content-Encoding but identity), whose decoded size is not announced.
qint64 announcedBodyLength(const QNetworkReply* reply);

// The whole body of a finished reply, read at once. readAll() would grow a 16 KiB buffer and
// shrink it to the body's size, a reallocation per reply that costs more than the rest of
// reading a small body.
inline QByteArray readFinishedBody(QNetworkReply* reply)
{
    return reply->read(reply->bytesAvailable());
}

// The error text for a body that ended after \a received of \a announced bytes, or an empty
// string when the body is whole (or its length was not announced).
QString bodyCutShortText(const QNetworkReply* reply, qint64 received);

} // namespace tuk

#endif // TUKCLOUDUTILS_TUKBODYCHECK_P_H
