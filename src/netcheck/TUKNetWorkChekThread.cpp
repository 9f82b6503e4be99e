#include "netcheck/TUKNetWorkChekThread_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>

#include "platform/TUKSystem_p.h"

// Every live probe thread, and the two application hooks that drive them: the pre-routine lets
// them start probing once an application object exists, the post-routine stops them while it
// still exists. Built on first use (inside the first thread's constructor), so it outlives the
// monitor that owns the threads.
struct ProbeThreadRegistry
{
    QMutex mutex;
    QList<TUKNetWorkChekThread*> threads;
    bool postRoutineAdded = false;
    bool preRoutineAdded = false;

    static ProbeThreadRegistry& instance()
    {
        static ProbeThreadRegistry registry;
        return registry;
    }

    // Pre-routine: runs inside the constructor of every QCoreApplication.
    static void applicationCreated()
    {
        ProbeThreadRegistry& r = instance();
        QMutexLocker lock(&r.mutex);
        for (TUKNetWorkChekThread* thread : qAsConst(r.threads))
            thread->applicationReady();
    }

    // Post-routine: runs first thing in the destructor of the QCoreApplication. Qt forgets its
    // post-routines once it has called them.
    static void applicationDestroyed()
    {
        ProbeThreadRegistry& r = instance();
        QList<TUKNetWorkChekThread*> threads;
        {
            QMutexLocker lock(&r.mutex);
            r.postRoutineAdded = false;
            threads = r.threads;
        }
        for (TUKNetWorkChekThread* thread : qAsConst(threads))
            thread->stopProbing();
    }

    void add(TUKNetWorkChekThread* thread)
    {
        bool addPost = false;
        bool addPre = false;
        {
            QMutexLocker lock(&mutex);
            threads.append(thread);
            addPost = !postRoutineAdded;
            postRoutineAdded = true;
            // Qt 5 cannot take a pre-routine back, so one is left behind only when it is needed.
            addPre = !preRoutineAdded && !QCoreApplication::instance();
            preRoutineAdded = preRoutineAdded || addPre;
        }
        if (addPost)
            qAddPostRoutine(&ProbeThreadRegistry::applicationDestroyed);
        if (addPre)
            qAddPreRoutine(&ProbeThreadRegistry::applicationCreated);
    }

    void remove(TUKNetWorkChekThread* thread)
    {
        bool removePost = false;
        {
            QMutexLocker lock(&mutex);
            threads.removeAll(thread);
            removePost = threads.isEmpty() && postRoutineAdded;
            if (removePost)
                postRoutineAdded = false;
        }
        // A post-routine left behind would call into this library after it is unloaded.
        if (removePost)
            qRemovePostRoutine(&ProbeThreadRegistry::applicationDestroyed);
    }
};

TUKNetWorkChekThread::TUKNetWorkChekThread(QObject* parent)
    : QThread(parent), m_pReceiver(parent), m_pTargets(new QList<ProbeTarget>(defaultTargets()))
{
    m_appReady = QCoreApplication::instance() != nullptr;
    ProbeThreadRegistry::instance().add(this);
}

TUKNetWorkChekThread::~TUKNetWorkChekThread()
{
    stopProbing();
    ProbeThreadRegistry::instance().remove(this);
    delete m_pTargets;
    m_pTargets = nullptr;
}

void TUKNetWorkChekThread::applicationReady()
{
    QMutexLocker lock(&m_stateMutex);
    m_appReady = true;
    m_stateChanged.wakeAll();
}

void TUKNetWorkChekThread::stopProbing()
{
    if (QThread::currentThread() == this)
        return;
    if (tuk::platform::threadsCannotEndNow()) {
        // The library is being unloaded under a lock the thread would need to end by itself.
        terminate();
        wait();
        return;
    }
    {
        QMutexLocker lock(&m_stateMutex);
        m_stopRequested = true;
        m_stateChanged.wakeAll();
    }
    // Ends the local event loop; if the loop has not started yet, it returns as soon as it does.
    quit();
    if (!wait(10000)) {
        terminate();
        wait();
    }
}

void TUKNetWorkChekThread::run()
{
    {
        QMutexLocker lock(&m_stateMutex);
        while (!m_appReady && !m_stopRequested)
            m_stateChanged.wait(&m_stateMutex);
        if (m_stopRequested)
            return;
    }
    TUKNetWorkCheckWorker worker(m_pTargets, m_pReceiver);
    QEventLoop loop;
    loop.exec();
}

#include "moc_TUKNetWorkChekThread_p.cpp"
