#ifndef TUKCLOUDUTILS_TUKLOGGING_P_H
#define TUKCLOUDUTILS_TUKLOGGING_P_H

#include <QLoggingCategory>

// The library's diagnostics: one logging category per subsystem, all silent unless the host
// enables them (for example QT_LOGGING_RULES="tukcloudutils.*.debug=true"). The two outputs the
// classes promise (TUKHttpService's setDebug() line and the download manager's "Failed:" line on
// standard error) do not go through these.
namespace tuk {
namespace log {
Q_DECLARE_LOGGING_CATEGORY(http)     // "tukcloudutils.http"
Q_DECLARE_LOGGING_CATEGORY(cloud)    // "tukcloudutils.cloud"
Q_DECLARE_LOGGING_CATEGORY(download) // "tukcloudutils.download"
Q_DECLARE_LOGGING_CATEGORY(netcheck) // "tukcloudutils.netcheck"
Q_DECLARE_LOGGING_CATEGORY(thread)   // "tukcloudutils.thread"
} // namespace log
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKLOGGING_P_H
