#ifndef TUKCLOUDUTILS_TUKDOWNLOADMANAGER_P_H
#define TUKCLOUDUTILS_TUKDOWNLOADMANAGER_P_H

#include <TUKCloudUtils/TUKDownloadManager.h>

#include "core/TUKReplyWatch_p.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

/*
 * Private record of a TUKDownloadManager. The members are destroyed in reverse order: the URL,
 * the file (closed if open), then the access manager, which deletes any reply still alive.
 */
class TUKDownloadManagerPrivate
{
public:
    static TUKDownloadManagerPrivate* get(TUKDownloadManager* q) { return q->d.get(); }

    QNetworkAccessManager manager;   // no Qt parent; owns its replies
    tuk::ReplyWatch watch{&manager}; // for a close Qt missed
    // Reply of the current transfer; null before the first one. After the end of a transfer it
    // still points at the reply handed to deleteLater(), so it is only read while `busy`.
    QNetworkReply* reply = nullptr;
    QFile file;
    QUrl url;
    // Between a downloadFile() that scheduled a transfer and the end of that transfer.
    bool busy = false;
    // Body bytes of the current transfer handed to the file.
    qint64 received = 0;
};

#endif // TUKCLOUDUTILS_TUKDOWNLOADMANAGER_P_H
