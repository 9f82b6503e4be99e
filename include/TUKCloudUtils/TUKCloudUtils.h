#ifndef TUKCLOUDUTILS_TUKCLOUDUTILS_H
#define TUKCLOUDUTILS_TUKCLOUDUTILS_H

// Umbrella header: the whole public interface of TUKCloudUtils.

/*!
 * \file TUKCloudUtils.h
 * \brief Includes every public header of the library.
 *
 * \mainpage TUKCloudUtils
 *
 * A Qt 5 library that desktop applications link to talk to web services and to watch the
 * network. Include \c <TUKCloudUtils/TUKCloudUtils.h> and link \c TUKCloudUtils::TUKCloudUtils
 * (CMake), \c TUKCloudUtils (pkg-config) or \c PKGCONFIG \c += \c TUKCloudUtils (qmake).
 *
 * - TUKHttpService: an instance HTTP client with fluent setters; blocking or callback verbs,
 *   streaming downloads and raw-body uploads.
 * - TUKCloudHttpUtils: static blocking helpers with cookie maps, 302 following, remote-file
 *   probes and a multipart upload.
 * - TUKDownloadManager: a signal-driven single-file download manager.
 * - TUKNetWorkCheck: the process-wide connectivity monitor, started when the library loads.
 * - TUKThread: a thread base whose work cannot take the process down.
 * - TUKCloudInfo.h and TUKFileUtils.h: the settings record, file helpers and the URL launcher.
 *
 * Every class belongs to the thread that uses it, which must run a Qt event loop (blocking
 * calls run a nested one). Nothing throws across the interface.
 */
#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKCloudInfo.h>
#include <TUKCloudUtils/TUKDownloadManager.h>
#include <TUKCloudUtils/TUKFileUtils.h>
#include <TUKCloudUtils/TUKHttpService.h>
#include <TUKCloudUtils/TUKNetWorkCheck.h>
#include <TUKCloudUtils/TUKThread.h>

#endif // TUKCLOUDUTILS_TUKCLOUDUTILS_H
