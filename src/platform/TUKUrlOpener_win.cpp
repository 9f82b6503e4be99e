#include "platform/TUKUrlOpener_p.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <string>

namespace tuk {
namespace platform {

bool startUrlOpener(const std::string& utf8Text)
{
    std::wstring text;
    if (!utf8Text.empty()) {
        const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(),
                                               static_cast<int>(utf8Text.size()), nullptr, 0);
        if (size <= 0)
            return false;
        text.resize(static_cast<std::size_t>(size));
        ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()),
                              &text[0], size);
    }
    const HINSTANCE result =
        ::ShellExecuteW(nullptr, L"OPEN", L"IEXPLORE.EXE", text.c_str(), nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<std::intptr_t>(result) > 32;
}

} // namespace platform
} // namespace tuk
