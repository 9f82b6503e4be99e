#include "platform/TUKUrlOpener_p.h"
#include "platform/TUKWideText_win_p.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdint>

namespace tuk {
namespace platform {

bool startUrlOpener(const std::string& utf8Text)
{
    const std::wstring text = wideFromUtf8(utf8Text);
    if (text.empty() && !utf8Text.empty())
        return false;
    const HINSTANCE result =
        ::ShellExecuteW(nullptr, L"OPEN", L"IEXPLORE.EXE", text.c_str(), nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<std::intptr_t>(result) > 32;
}

} // namespace platform
} // namespace tuk
