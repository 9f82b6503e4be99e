#include "core/TUKReplyWatch_p.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimerEvent>

namespace tuk {

void ReplyWatch::startTimer()
{
    m_timer.start(500, this); // twice a second
}

void ReplyWatch::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    bool running = false;
    const QList<QNetworkReply*> replies =
        m_manager->findChildren<QNetworkReply*>(QString(), Qt::FindDirectChildrenOnly);
    for (QNetworkReply* reply : replies) {
        if (reply->isFinished())
            continue;
        running = true;
        reply->setReadBufferSize(reply->readBufferSize());
    }
    if (!running)
        m_timer.stop();
}

} // namespace tuk
