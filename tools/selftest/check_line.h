// One line of the self-test's table: what was checked, how it came out, and
// the reason and numbers behind it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace korvanthelm::selftest {

enum class Outcome {
    kPassed,
    kFailed,
    kNotCheckable,  // this system cannot answer it; never counted as passed
};

struct CheckLine {
    std::string name;
    Outcome outcome;
    std::string detail;
};

using CheckLines = std::vector<CheckLine>;

inline std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

inline std::string ErrorText(DWORD error) {
    return "error " + std::to_string(error);
}

}  // namespace korvanthelm::selftest
