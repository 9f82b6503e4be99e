#ifndef TUKCLOUDUTILS_TUKBLOCKINGWAIT_P_H
#define TUKCLOUDUTILS_TUKBLOCKINGWAIT_P_H

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QString>

namespace tuk {

// The one nested wait behind every blocking call of the library (the verbs, the blocking
// transfers, the static helpers). It runs a local event loop on the calling thread, so the
// thread's other events keep flowing, until the first of:
// - done(), called by a handler of what the call waits for (a reply's end, say): WaitEnd::Done;
// - the time limit: WaitEnd::TimedOut. The limit is measured on the monotonic clock from the
//   moment exec() starts and never ends a wait before it has fully passed;
// - the loop being ended from outside, for instance by QCoreApplication::exit() or quit() while
//   the call waits: WaitEnd::Interrupted. Once the application has been told to exit and until
//   its event loop has returned, every new wait ends that way at once.
class BlockingWait
{
public:
    enum class End
    {
        Done,
        TimedOut,
        Interrupted
    };

    // timeoutMs <= 0: no time limit.
    explicit BlockingWait(int timeoutMs);

    BlockingWait(const BlockingWait&) = delete;
    BlockingWait& operator=(const BlockingWait&) = delete;

    // Ends the wait when sender emits signal. The connection ends with the wait.
    template <typename Sender, typename Signal> void endOn(const Sender* sender, Signal signal)
    {
        QObject::connect(
            sender, signal, &m_loop, [this] { done(); }, Qt::DirectConnection);
    }

    // Ends the wait with WaitEnd::Done; nothing once the wait is over. Safe before exec().
    void done();

    // Waits as described above, processing events as \a flags allow.
    End exec(QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);

    // The text reported with QNetworkReply::OperationCanceledError for an interrupted wait.
    static QString interruptedText();

private:
    // The local loop also receives the time limit's timer: a timer of the loop itself costs less
    // per wait than a QTimer object and its connection.
    class Loop : public QEventLoop
    {
    public:
        explicit Loop(BlockingWait* wait) : m_wait(wait) {}

    protected:
        void timerEvent(QTimerEvent* event) override;

    private:
        BlockingWait* m_wait;
    };

    void timerFired();

    Loop m_loop{this};
    QBasicTimer m_timer;
    QElapsedTimer m_clock;
    const int m_timeoutMs;
    bool m_done = false;
    bool m_timedOut = false;
};

} // namespace tuk

#endif // TUKCLOUDUTILS_TUKBLOCKINGWAIT_P_H
