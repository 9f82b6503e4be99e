#include <TUKCloudUtils/TUKThread.h>

#include "core/TUKLogging_p.h"
#include "module/TUKModule_p.h"
#include "platform/TUKFaultGuard_p.h"

#include <QMetaObject>

TUKThread::TUKThread(QObject* parent) : QThread(parent) {}

TUKThread::~TUKThread()
{
    stopRuning();
}

void TUKThread::run()
{
    auto work = [this] {
        setThreadName();
        doWork();
    };
    if (!tuk::platform::runFaultGuarded(work).completed())
        uploadErrorInfo(tuk::module::threadRunCrashMessage);
    // A termination requested while the work ran without reaching a point where it could take
    // effect is still pending. Act on it here, where unwinding is safe: left pending, it would
    // strike inside QThread's own clean-up (which may not unwind) and end the process. The guard
    // lets the termination through; the unwinding starts inside it so that the guard can prepare
    // the stack for it (the address-sanitizer build needs that).
    auto actOnPendingTermination = [] {
        setTerminationEnabled(true);
    };
    tuk::platform::runFaultGuarded(actOnPendingTermination);
}

void TUKThread::stopRuning()
{
    auto stop = [this] {
        if (isRunning()) {
            terminate();
            wait();
        }
    };
    if (!tuk::platform::runFaultGuarded(stop).completed())
        uploadErrorInfo(tuk::module::threadStopCrashMessage);
}

void TUKThread::setThreadName()
{
    setObjectName(QString(metaObject()->className()));
}

void TUKThread::uploadErrorInfo(const QString& info)
{
    QString name = objectName();
    if (name.isEmpty())
        name = QString::fromLatin1(metaObject()->className());
    // Off by default: the library reports crashes nowhere unless the host asks for the lines.
    qCDebug(tuk::log::thread).noquote().nospace() << name << ": " << info;
}
