#ifndef TUKCLOUDUTILS_TUKHTTPSERVICE_P_H
#define TUKCLOUDUTILS_TUKHTTPSERVICE_P_H

#include <TUKCloudUtils/TUKHttpService.h>

#include "core/TUKReplyWatch_p.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <climits>

class QTextCodec;

/*
 * Private record of a TUKHttpService. Every field is controlled by a setter; running a request
 * never writes back into it (each execution works on copies), so a re-used object sends the same
 * request again.
 */
class TUKHttpServicePrivate
{
public:
    explicit TUKHttpServicePrivate(const QString& u) : url(u) {}

    QString url;
    QString encoding = QStringLiteral("UTF-8");
    QString body;
    QUrlQuery params;
    QSsl::SslProtocol sslProtocol = QSsl::TlsV1_2;
    QHash<QString, QString> headers;
    QNetworkAccessManager manager;
    // Watches every running reply of the manager for a close Qt missed.
    tuk::ReplyWatch watch{&manager};
    // Template of every request; executions fill in a copy of it.
    QNetworkRequest request{QUrl()};
    qint32 execFlag = QEventLoop::AllEvents;
    qint32 timeout = INT_MAX;
    bool debug = false;

    // Decodes a response body with the codec named by `encoding` (UTF-8 when the name is unknown).
    QString decode(const QByteArray& body) const;

    // A copy of `request` aimed at `urlText`, with TLS set up for https URLs (verification off).
    QNetworkRequest prepareRequest(const QString& urlText, QSsl::SslProtocol protocol) const;

    // Results of the last URL parse and codec look-up, reused while the text they came from stays
    // the same: an object that sends the same request again parses and looks up nothing again.
    // They only spare work; every request is built from the setters' values as before.
    mutable QString parsedUrlText;
    mutable QUrl parsedUrl;
    mutable bool urlParsed = false;
    mutable QString codecName;
    mutable QTextCodec* codec = nullptr;

    static bool isHttps(const QString& urlText)
    {
        return urlText.startsWith(QLatin1String("https"), Qt::CaseInsensitive);
    }
};

#endif // TUKCLOUDUTILS_TUKHTTPSERVICE_P_H
