// One run of the bootstrapper, from reading the environment to the removal of
// the work directory. wWinMain owns the run's state and shows failures.
#pragma once

#include <functional>
#include <string>

#include "platform/failure_texts.h"

namespace korvanthelm {

inline constexpr const wchar_t kCaption[] = L"KORVANTHELM";

// Runs every step that can fail. `work_directory` belongs to the caller: it is
// set as soon as the work directory exists, so that the caller's failure
// handler can remove it. Returns normally for exit code 0 (the installed
// launcher started, or the set-up program ended with 0); throws the failure
// message otherwise.
void RunBootstrapper(std::wstring& work_directory);

// The temporary base folder: `temp` (the TEMP variable), or the platform's
// temporary path when `temp` is empty, without trailing backslashes. Throws
// kTempUnavailable when the platform's path is needed but cannot be had.
std::wstring TemporaryBaseFolder(const std::wstring& temp);

// After the set-up program: up to 20 removal passes, each followed by a pause
// while the directory still exists. Leaves a directory that survives behind
// without a message.
void RemoveWorkDirectoryWithRetries(const std::wstring& work_directory,
                                    const std::function<void(unsigned milliseconds)>& sleep);

// The message for a launch result other than 0.
std::wstring LaunchFailureMessage(std::uint32_t launch_result, const std::wstring& work_directory);

}  // namespace korvanthelm
