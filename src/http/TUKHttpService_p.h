#ifndef TUKCLOUDUTILS_TUKHTTPSERVICE_P_H
#define TUKCLOUDUTILS_TUKHTTPSERVICE_P_H

#include <TUKCloudUtils/TUKHttpService.h>

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QString>
#include <QUrlQuery>

#include <climits>

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
    // Template of every request; executions fill in a copy of it.
    QNetworkRequest request{QUrl()};
    qint32 execFlag = QEventLoop::AllEvents;
    qint32 timeout = INT_MAX;
    bool debug = false;

    // Decodes a response body with the codec named by `encoding` (UTF-8 when the name is unknown).
    QString decode(const QByteArray& body) const;

    // A copy of `request` aimed at `urlText`, with TLS set up for https URLs (verification off).
    QNetworkRequest prepareRequest(const QString& urlText, QSsl::SslProtocol protocol) const;

    static bool isHttps(const QString& urlText)
    {
        return urlText.startsWith(QLatin1String("https"), Qt::CaseInsensitive);
    }
};

#endif // TUKCLOUDUTILS_TUKHTTPSERVICE_P_H
