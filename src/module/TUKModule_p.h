#ifndef TUKCLOUDUTILS_TUKMODULE_P_H
#define TUKCLOUDUTILS_TUKMODULE_P_H

#include <TUKCloudUtils/TUKCloudInfo.h>
#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <QString>

// Module-level objects. They are all defined in one translation unit (TUKModule.cpp), so they are
// built at load in the order of their definitions there and destroyed at unload in reverse.
namespace tuk {
namespace module {

// User-Agent text sent by every request of TUKCloudHttpUtils and by nothing else.
extern const QString userAgent;

// The process-wide settings record behind getCloudInfo() / setCloudInfo().
extern TUKCloudInfo cloudInfo;

// The connectivity monitor singleton, created at load by TUKNetWorkCheck::getInstance().
extern TUKNetWorkCheck* const networkMonitor;

// TUKThread's crash messages: "线程执行崩溃" (run crashed) and "线程终止崩溃" (stop crashed).
extern const QString threadRunCrashMessage;
extern const QString threadStopCrashMessage;

} // namespace module
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKMODULE_P_H
