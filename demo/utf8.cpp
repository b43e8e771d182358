#include "demo/utf8.h"

#include <windows.h>

#include <limits>

namespace korvanthelm::demo {

std::string ToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, /*flags=*/0, text.data(), units, nullptr, 0,
                                          /*default_char=*/nullptr, /*used_default=*/nullptr);
    if (bytes <= 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, /*flags=*/0, text.data(), units, result.data(), bytes, nullptr,
                        nullptr);
    return result;
}

}  // namespace korvanthelm::demo
