#include "download/TUKDownloadManager_p.h"

#include "core/TUKBodyCheck_p.h"
#include "core/TUKLogging_p.h"

#include <QNetworkRequest>
#include <QTimer>

#include <cstdio>

TUKDownloadManager::TUKDownloadManager(QObject* parent)
    : QObject(parent), d(std::make_unique<TUKDownloadManagerPrivate>())
{}

TUKDownloadManager::~TUKDownloadManager()
{
    // A reply still alive is deleted with the access manager below; make sure nothing it emits on
    // the way reaches the slots of an object that is half gone.
    const QList<QNetworkReply*> replies = d->manager.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies)
        reply->disconnect(this);
}

void TUKDownloadManager::downloadFile(const QString& url, const QString& filePath)
{
    if (d->busy) {
        qCDebug(tuk::log::download) << "a transfer is running; ignored:" << url;
        return;
    }
    // A file left open by an earlier call whose URL was not valid.
    if (d->file.isOpen())
        d->file.close();

    d->file.setFileName(filePath);
    if (!d->file.open(QIODevice::WriteOnly)) {
        qCDebug(tuk::log::download) << "cannot write" << filePath << d->file.errorString();
        return;
    }

    d->url = QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode);
    if (!d->url.isValid()) {
        qCDebug(tuk::log::download) << "not a valid URL, nothing started:" << url;
        return;
    }

    d->busy = true;
    QTimer::singleShot(0, this, SLOT(startDownload()));
}

void TUKDownloadManager::startDownload()
{
    QNetworkRequest request(d->url);
    d->received = 0;
    d->reply = d->manager.get(request);
    d->watch.replyStarted();
    connect(d->reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(d->reply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
}

void TUKDownloadManager::downloadReadyRead()
{
    if (!d->busy || !d->reply)
        return;
    const QByteArray data = d->reply->readAll();
    d->received += data.size();
    d->file.write(data);
}

void TUKDownloadManager::downloadFinished()
{
    if (!d->busy || !d->reply)
        return;
    // Whatever is still buffered belongs to the file too.
    if (d->reply->bytesAvailable() > 0)
        downloadReadyRead();
    d->file.close();
    // A body shorter than the server announced was cut: a failure, whatever Qt says.
    QString failure = tuk::bodyCutShortText(d->reply, d->received);
    if (d->reply->error() != QNetworkReply::NoError)
        failure = d->reply->errorString();
    if (!failure.isEmpty())
        std::fprintf(stderr, "Failed: %s\n", failure.toLocal8Bit().constData());
    d->reply->deleteLater();
    d->busy = false;
    emit sigDownloadEnd();
}
