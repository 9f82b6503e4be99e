#include "module/TUKModule_p.h"

// The order of these definitions is the order in which the library builds its module-level
// objects when it is loaded; unloading destroys them in reverse.
namespace tuk {
namespace module {

const QString userAgent =
    QStringLiteral("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like Gecko) "
                   "Chrome/21.0.1180.89 Safari/537.1");

TUKCloudInfo cloudInfo;

} // namespace module
} // namespace tuk
