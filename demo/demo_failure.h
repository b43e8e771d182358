// How the demo set-up program ends a run that went wrong: one thrown value
// carrying the line for the demo log, caught only in its wWinMain.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace korvanthelm::demo {

struct DemoFailure {
    std::wstring reason;
};

// "<what> <path> (error <code>)": the Win32 code is what makes a failure in
// the log diagnosable, so every platform failure carries it.
[[noreturn]] inline void ThrowWin32Failure(std::wstring_view what, std::wstring_view path,
                                           DWORD error) {
    std::wstring reason(what);
    reason += L' ';
    reason += path;
    reason += L" (error ";
    reason += std::to_wstring(error);
    reason += L')';
    throw DemoFailure{std::move(reason)};
}

}  // namespace korvanthelm::demo
