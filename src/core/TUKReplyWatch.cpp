#include "core/TUKReplyWatch_p.h"

#include <QTimerEvent>

#include <algorithm>

namespace tuk {

namespace {
constexpr int kLookIntervalMs = 500;
} // namespace

void ReplyWatch::watch(QNetworkReply* reply)
{
    if (!reply || reply->isFinished())
        return;
    m_replies.append(reply);
    if (!m_timer.isActive())
        m_timer.start(kLookIntervalMs, this);
}

void ReplyWatch::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    const auto over = [](const QPointer<QNetworkReply>& r) {
        return !r || r->isFinished();
    };
    m_replies.erase(std::remove_if(m_replies.begin(), m_replies.end(), over), m_replies.end());
    for (const QPointer<QNetworkReply>& reply : qAsConst(m_replies))
        reply->setReadBufferSize(reply->readBufferSize());
    if (m_replies.isEmpty())
        m_timer.stop();
}

} // namespace tuk
