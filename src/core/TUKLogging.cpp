#include "core/TUKLogging_p.h"

namespace tuk {
namespace log {
Q_LOGGING_CATEGORY(http, "tukcloudutils.http", QtInfoMsg)
Q_LOGGING_CATEGORY(cloud, "tukcloudutils.cloud", QtInfoMsg)
Q_LOGGING_CATEGORY(download, "tukcloudutils.download", QtInfoMsg)
Q_LOGGING_CATEGORY(netcheck, "tukcloudutils.netcheck", QtInfoMsg)
Q_LOGGING_CATEGORY(thread, "tukcloudutils.thread", QtInfoMsg)
} // namespace log
} // namespace tuk
