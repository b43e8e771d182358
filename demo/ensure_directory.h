// Creating the folders the demo installs into.
#pragma once

#include <windows.h>

#include <string>

namespace korvanthelm::demo {

// Makes `folder` and any missing folders above it. 0: the folder exists now
// (also when it existed before); otherwise the Win32 error of the step that
// failed, ERROR_ALREADY_EXISTS when a file stands where a folder must be.
// Folders made before a failing step stay behind; they are empty.
DWORD EnsureDirectory(const std::wstring& folder);

}  // namespace korvanthelm::demo
