#ifndef TUKCLOUDUTILS_TUKNETWORKCHEKTHREAD_P_H
#define TUKCLOUDUTILS_TUKNETWORKCHEKTHREAD_P_H

#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <QList>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

// The probe thread of the connectivity monitor. It owns the endpoint list and, when running,
// drives a TUKNetWorkCheckWorker with a local event loop.
//
// A Qt event loop on a secondary thread drops its events while no QCoreApplication exists, and
// forced termination can leave the thread's event dispatcher in a bad state. So the thread starts
// at once but waits for the host's application object before it builds its worker (the first
// probe runs then); it is stopped by stopProbing() - asked to quit and waited for - when the
// application object is destroyed, and at the latest by the monitor's destructor. Only while the
// operating system unloads the library under a lock the thread would need to end (Windows'
// loader lock) is it terminated at once.
class TUKNetWorkChekThread : public QThread
{
    Q_OBJECT

public:
    // \a parent is the monitor: the thread's Qt parent and the receiver of the verdicts.
    explicit TUKNetWorkChekThread(QObject* parent);
    ~TUKNetWorkChekThread() override;

    // Ends the probing for good: wakes or quits the thread and waits for it to end (forced
    // termination only if it has not ended after ten seconds, or at once while the library is
    // unloaded under the loader lock). Returns at once when the thread is not running. Not from
    // the probe thread itself.
    void stopProbing();

protected:
    void run() override;

private:
    QObject* m_pReceiver;
    QList<ProbeTarget>* m_pTargets;

    friend struct ProbeThreadRegistry;
    void applicationReady();

    QMutex m_stateMutex;
    QWaitCondition m_stateChanged;
    bool m_appReady = false;
    bool m_stopRequested = false;
};

#endif // TUKCLOUDUTILS_TUKNETWORKCHEKTHREAD_P_H
