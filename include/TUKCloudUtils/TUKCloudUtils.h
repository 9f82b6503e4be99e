#ifndef TUKCLOUDUTILS_TUKCLOUDUTILS_H
#define TUKCLOUDUTILS_TUKCLOUDUTILS_H

// Umbrella header: the whole public interface of TUKCloudUtils.
#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKCloudInfo.h>
#include <TUKCloudUtils/TUKDownloadManager.h>
#include <TUKCloudUtils/TUKFileUtils.h>
#include <TUKCloudUtils/TUKHttpService.h>
#include <TUKCloudUtils/TUKNetWorkCheck.h>
#include <TUKCloudUtils/TUKThread.h>

#endif // TUKCLOUDUTILS_TUKCLOUDUTILS_H
