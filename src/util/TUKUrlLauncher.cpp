#include <TUKCloudUtils/TUKFileUtils.h>

#include "platform/TUKUrlOpener_p.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

void executeURL(const QString& url)
{
    // QDesktopServices needs the platform integration of a QGuiApplication; without one it can
    // only warn and fail.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) &&
        QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode)))
        return;
    tuk::platform::startUrlOpener(url.toStdString());
}
