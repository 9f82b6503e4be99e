#ifndef TUKCLOUDUTILS_TUKREPLYWATCH_P_H
#define TUKCLOUDUTILS_TUKREPLYWATCH_P_H

#include <QBasicTimer>
#include <QObject>

class QNetworkAccessManager;

namespace tuk {

// Qt 5.15's HTTP/1 engine can miss the close of a connection whose reply is still reading: after a
// chunk-size line that arrives cut or garbled together with the peer's close, the reply neither
// finishes nor fails, however long one waits. Every reply of the library is watched: while it runs,
// its network thread is asked twice a second to look at the connection again (re-applying the read
// buffer size schedules a read of the socket), which finds such a close and ends the reply. While
// the transfer is healthy the extra look finds nothing to do.
//
// One watch serves every reply of one access manager (a service's, a download manager's, the one of
// a static call) on the manager's thread. Its timer runs only while a reply of the manager runs;
// starting a reply costs no bookkeeping beyond that.
class ReplyWatch : public QObject
{
public:
    explicit ReplyWatch(QNetworkAccessManager* manager) : m_manager(manager) {}

    // A reply of the manager has started: the watch runs until none of them is left running.
    void replyStarted()
    {
        if (!m_timer.isActive())
            startTimer();
    }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void startTimer();

    QNetworkAccessManager* m_manager;
    QBasicTimer m_timer;
};

} // namespace tuk

#endif // TUKCLOUDUTILS_TUKREPLYWATCH_P_H
