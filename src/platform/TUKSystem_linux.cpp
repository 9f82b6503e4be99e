#include "platform/TUKSystem_p.h"

namespace tuk {
namespace platform {

bool threadsCannotEndNow()
{
    return false;
}

// The local 8-bit codec follows the locale here, so the labels are kept as UTF-8 and read right
// under any locale.
CrashLabels threadCrashLabels()
{
    return {"\xE7\xBA\xBF\xE7\xA8\x8B\xE6\x89\xA7\xE8\xA1\x8C\xE5\xB4\xA9\xE6\xBA\x83",
            "\xE7\xBA\xBF\xE7\xA8\x8B\xE7\xBB\x88\xE6\xAD\xA2\xE5\xB4\xA9\xE6\xBA\x83", true};
}

} // namespace platform
} // namespace tuk
