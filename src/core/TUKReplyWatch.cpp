#include "core/TUKReplyWatch_p.h"

#include <QNetworkReply>
#include <QTimer>

namespace tuk {

namespace {
constexpr int kLookIntervalMs = 500;
} // namespace

void watchForLostClose(QNetworkReply* reply)
{
    if (!reply || reply->isFinished())
        return;
    auto* timer = new QTimer(reply);
    QObject::connect(timer, &QTimer::timeout, reply,
                     [reply] { reply->setReadBufferSize(reply->readBufferSize()); });
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    timer->start(kLookIntervalMs);
}

} // namespace tuk
