// Starting the set-up program or the installed launcher.
#pragma once

#include <cstdint>
#include <string>

namespace korvanthelm {

// Starts `application` with the command line `"application"` plus, when
// `argument` is not empty, one space and `argument` verbatim, in the folder
// that contains `application`, inheriting the environment and no handles.
// Returns 0 when started (and, with `wait`, ended with exit code 0); the
// child's exit code when waited for; otherwise the system error code of the
// failed start, wait or exit-code query; ERROR_FILENAME_EXCED_RANGE, with
// nothing started, for an `application` of MAX_PATH units or more. Never
// throws for a failed start.
std::uint32_t StartLauncherProcess(const std::wstring& application, const std::wstring& argument,
                                   bool wait);

// The two calls StartLauncherProcess makes on a process it waits for, as
// WaitForSingleObject(process, INFINITE) and GetExitCodeProcess take them.
// Only tests replace them, to make them fail with a chosen last error.
struct ProcessWaitCalls {
    std::uint32_t (*wait)(void* process);
    int (*get_exit_code)(void* process, unsigned long* exit_code);
};

// StartLauncherProcess with `calls` in place of the system's wait and
// exit-code query.
std::uint32_t StartLauncherProcessForTesting(const std::wstring& application,
                                             const std::wstring& argument, bool wait,
                                             const ProcessWaitCalls& calls);

// The working directory StartLauncherProcess uses: `application` up to its
// last backslash; empty when there is none.
std::wstring LauncherWorkingDirectory(const std::wstring& application);

}  // namespace korvanthelm
