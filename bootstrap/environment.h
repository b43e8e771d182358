// Environment variables as the bootstrapper reads them.
#pragma once

#include <string>

namespace korvanthelm {

// The value of `name`, or empty text when it is unset, empty, or does not fit
// 32767 UTF-16 units. Never fails.
std::wstring ReadEnvironmentVariable(const wchar_t* name);

}  // namespace korvanthelm
