#ifndef TUKCLOUDUTILS_TUKREPLYWATCH_P_H
#define TUKCLOUDUTILS_TUKREPLYWATCH_P_H

#include <QBasicTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QVector>

namespace tuk {

// Qt 5.15's HTTP/1 engine can miss the close of a connection whose reply is still reading: after a
// chunk-size line that arrives cut or garbled together with the peer's close, the reply neither
// finishes nor fails, however long one waits. Every reply of the library is watched: while it runs,
// its network thread is asked twice a second to look at the connection again (re-applying the read
// buffer size schedules a read of the socket), which finds such a close and ends the reply. While
// the transfer is healthy the extra look finds nothing to do.
//
// One watch serves every reply of its owner (a service, a download manager, one call of a static
// helper) on the owner's thread; its timer runs only while a watched reply runs, and watching a
// reply costs no object of its own.
class ReplyWatch : public QObject
{
public:
    void watch(QNetworkReply* reply);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer m_timer;
    QVector<QPointer<QNetworkReply>> m_replies;
};

} // namespace tuk

#endif // TUKCLOUDUTILS_TUKREPLYWATCH_P_H
