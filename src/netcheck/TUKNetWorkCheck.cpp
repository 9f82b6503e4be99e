#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include "netcheck/TUKNetWorkChekThread_p.h"

#include <QMutexLocker>

TUKNetWorkCheck* TUKNetWorkCheck::getInstance()
{
    static TUKNetWorkCheck instance;
    return &instance;
}

TUKNetWorkCheck::TUKNetWorkCheck(QObject* parent)
    : QObject(parent), m_pThread(nullptr), m_bConnect(true)
{
    m_pThread = new TUKNetWorkChekThread(this);
    m_pThread->start();
}

TUKNetWorkCheck::~TUKNetWorkCheck()
{
    // Stop the probe first, while this object is whole: a verdict queued later could otherwise
    // reach a half-destroyed monitor. The QObject base then deletes the stopped thread object.
    m_pThread->stopProbing();
}

bool TUKNetWorkCheck::isConnect()
{
    QMutexLocker lock(&m_mutex);
    return m_bConnect;
}

void TUKNetWorkCheck::setNetWorkStatus(bool bConnect)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_bConnect == bConnect)
            return;
        m_bConnect = bConnect;
    }
    if (bConnect)
        emit sigNetWorkConnect();
    else
        emit sigNetWorkBreak();
}

#include "TUKCloudUtils/moc_TUKNetWorkCheck.cpp"
