#include "module/TUKModule_p.h"

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

// The crash messages of TUKThread come last, after the connectivity monitor. Windows decodes
// GBK bytes with the local 8-bit codec (code page 936 reads them right); elsewhere the local codec
// follows the locale, so the text is decoded from UTF-8 bytes and reads right under any locale.
#ifdef Q_OS_WIN
const QString threadRunCrashMessage =
    QString::fromLocal8Bit("\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB1\xC0\xC0\xA3");
const QString threadStopCrashMessage =
    QString::fromLocal8Bit("\xCF\xDF\xB3\xCC\xD6\xD5\xD6\xB9\xB1\xC0\xC0\xA3");
#else
const QString threadRunCrashMessage =
    QString::fromUtf8("\xE7\xBA\xBF\xE7\xA8\x8B\xE6\x89\xA7\xE8\xA1\x8C\xE5\xB4\xA9\xE6\xBA\x83");
const QString threadStopCrashMessage =
    QString::fromUtf8("\xE7\xBA\xBF\xE7\xA8\x8B\xE7\xBB\x88\xE6\xAD\xA2\xE5\xB4\xA9\xE6\xBA\x83");
#endif

} // namespace module
} // namespace tuk
