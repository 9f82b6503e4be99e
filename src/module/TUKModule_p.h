#ifndef TUKCLOUDUTILS_TUKMODULE_P_H
#define TUKCLOUDUTILS_TUKMODULE_P_H

#include <TUKCloudUtils/TUKCloudInfo.h>

#include <QString>

// Module-level objects. They are all defined in one translation unit (TUKModule.cpp), so they are
// built at load in the order of their definitions there and destroyed at unload in reverse.
namespace tuk {
namespace module {

// User-Agent text sent by every request of TUKCloudHttpUtils and by nothing else.
extern const QString userAgent;

// The process-wide settings record behind getCloudInfo() / setCloudInfo().
extern TUKCloudInfo cloudInfo;

} // namespace module
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKMODULE_P_H
