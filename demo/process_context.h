// What a demo program learns about where it runs: environment folders, its own
// path and its working directory.
#pragma once

#include <string>

namespace korvanthelm::demo {

// The variable's value; empty when it is unset, empty or does not fit in
// 32767 units (an absent folder, as the bootstrapper treats it too).
std::wstring ReadEnvironmentVariable(const wchar_t* name);

// The full path of the running executable; empty when it cannot be had.
std::wstring RunningExecutablePath();

// The process's working directory as the platform reports it; empty when it
// cannot be had.
std::wstring WorkingDirectory();

// `path` made absolute and normalised (doubled separators, "." and ".."
// resolved against the working directory). Throws DemoFailure.
std::wstring FullPath(const std::wstring& path);

// The text before the last backslash; the whole text when there is none.
std::wstring ParentFolder(const std::wstring& path);

}  // namespace korvanthelm::demo
