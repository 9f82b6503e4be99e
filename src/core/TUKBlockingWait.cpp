#include "core/TUKBlockingWait_p.h"

#include <QTimerEvent>

namespace tuk {

BlockingWait::BlockingWait(int timeoutMs) : m_timeoutMs(timeoutMs) {}

void BlockingWait::Loop::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_wait->m_timer.timerId()) {
        QEventLoop::timerEvent(event);
        return;
    }
    m_wait->m_timer.stop(); // one shot; timerFired() starts it again when the limit is not over
    m_wait->timerFired();
}

void BlockingWait::done()
{
    if (m_done || m_timedOut)
        return;
    m_done = true;
    m_loop.quit();
}

BlockingWait::End BlockingWait::exec(QEventLoop::ProcessEventsFlags flags)
{
    if (!m_done) {
        if (m_timeoutMs > 0) {
            m_clock.start();
            m_timer.start(m_timeoutMs, Qt::PreciseTimer, &m_loop);
        }
        m_loop.exec(flags);
        m_timer.stop();
    }
    if (m_done)
        return End::Done;
    return m_timedOut ? End::TimedOut : End::Interrupted;
}

void BlockingWait::timerFired()
{
    // Timers may fire a little early; the limit is only over once it has fully passed.
    const qint64 left = m_timeoutMs - m_clock.elapsed();
    if (left > 0) {
        m_timer.start(int(left), Qt::PreciseTimer, &m_loop);
        return;
    }
    if (m_done)
        return;
    m_timedOut = true;
    m_loop.quit();
}

QString BlockingWait::interruptedText()
{
    return QStringLiteral("The wait was ended from outside before the operation finished");
}

} // namespace tuk
