#include "module/TUKModule_p.h"

#include "platform/TUKSystem_p.h"

// The order of these definitions is the order in which the library builds its module-level
// objects when it is loaded; unloading destroys them in reverse.
namespace tuk {
namespace module {

const QString userAgent =
    QStringLiteral("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like Gecko) "
                   "Chrome/21.0.1180.89 Safari/537.1");

TUKCloudInfo cloudInfo;

// The connectivity monitor: built here, so probing starts with the library.
TUKNetWorkCheck* const networkMonitor = TUKNetWorkCheck::getInstance();

// The crash messages of TUKThread come last, after the connectivity monitor.
namespace {
QString crashLabel(const char* bytes)
{
    return tuk::platform::threadCrashLabels().utf8 ? QString::fromUtf8(bytes)
                                                   : QString::fromLocal8Bit(bytes);
}
} // namespace

const QString threadRunCrashMessage = crashLabel(tuk::platform::threadCrashLabels().run);
const QString threadStopCrashMessage = crashLabel(tuk::platform::threadCrashLabels().stop);

} // namespace module
} // namespace tuk
