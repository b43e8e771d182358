// A failure message is the exact Russian text to show the user, thrown by value
// as a wide string. Only wWinMain catches it.
#pragma once

#include <string>

namespace korvanthelm {

using FailureMessage = std::wstring;

[[noreturn]] inline void ThrowFailure(const wchar_t* text) {
    throw FailureMessage(text);
}

}  // namespace korvanthelm
