#ifndef TUKCLOUDUTILS_TUKCLOUDUTILS_H
#define TUKCLOUDUTILS_TUKCLOUDUTILS_H

// Umbrella header: the whole public interface of TUKCloudUtils.
#include <TUKCloudUtils/TUKCloudInfo.h>
#include <TUKCloudUtils/TUKHttpService.h>

#endif // TUKCLOUDUTILS_TUKCLOUDUTILS_H
