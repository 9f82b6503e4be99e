#ifndef TUKCLOUDUTILS_TUKWIDETEXT_WIN_P_H
#define TUKCLOUDUTILS_TUKWIDETEXT_WIN_P_H

#include <windows.h>

#include <string>

namespace tuk {
namespace platform {

// UTF-8 text as the UTF-16 text the wide Windows functions take. Malformed sequences become
// U+FFFD. Empty only for empty text, or when the text is too long for the conversion.
inline std::wstring wideFromUtf8(const std::string& utf8)
{
    std::wstring wide;
    if (utf8.empty() || utf8.size() > 0x7fffffffu)
        return wide;
    const int length = static_cast<int>(utf8.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (size <= 0)
        return wide;
    wide.resize(static_cast<std::size_t>(size));
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, &wide[0], size);
    return wide;
}

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKWIDETEXT_WIN_P_H
