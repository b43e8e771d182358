#include "platform/launcher_process.h"

#include <windows.h>

#include "platform/unique_resource.h"

namespace korvanthelm {

std::wstring LauncherWorkingDirectory(const std::wstring& application) {
    const std::size_t last_backslash = application.rfind(L'\\');
    return last_backslash == std::wstring::npos ? std::wstring()
                                                : application.substr(0, last_backslash);
}

namespace {

std::uint32_t WaitWithoutLimit(void* process) {
    return WaitForSingleObject(process, INFINITE);
}

int QueryExitCode(void* process, unsigned long* exit_code) {
    return GetExitCodeProcess(process, exit_code);
}

constexpr ProcessWaitCalls kSystemWaitCalls = {WaitWithoutLimit, QueryExitCode};

}  // namespace

std::uint32_t StartLauncherProcess(const std::wstring& application, const std::wstring& argument,
                                   bool wait) {
    return StartLauncherProcessForTesting(application, argument, wait, kSystemWaitCalls);
}

std::uint32_t StartLauncherProcessForTesting(const std::wstring& application,
                                             const std::wstring& argument, bool wait,
                                             const ProcessWaitCalls& calls) {
    // The classic path limit, applied before the platform sees the path. This
    // program is not long-path aware, so on Windows the set-up program could
    // not even have been unpacked at such a path. Wine 8 writes it, but its
    // CreateProcessW looks the long name up into a MAX_PATH buffer, ignores
    // that it did not fit, and starts from the uninitialised buffer instead:
    // a random error code, a hang, or a corrupted heap that ends the process.
    if (application.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // CreateProcessW may write into the command line: it gets a buffer of its own.
    std::wstring command_line = L'"' + application + L'"';
    if (!argument.empty()) {
        command_line += L' ';
        command_line += argument;
    }
    const std::wstring working_directory = LauncherWorkingDirectory(application);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // A path without a folder part has no directory of its own to start in:
    // the child then starts where this program is rather than in a folder
    // named like the executable.
    if (!CreateProcessW(application.c_str(), command_line.data(), /*process_security=*/nullptr,
                        /*thread_security=*/nullptr, /*inherit_handles=*/FALSE,
                        /*creation_flags=*/0, /*environment=*/nullptr,
                        working_directory.empty() ? nullptr : working_directory.c_str(), &startup,
                        &process)) {
        return GetLastError();
    }
    // Released thread first, then process, on every path below.
    const UniqueHandle process_handle(process.hProcess);
    const UniqueHandle thread_handle(process.hThread);

    std::uint32_t result = 0;
    if (wait) {
        DWORD exit_code = 0;
        if (calls.wait(process_handle.get()) == WAIT_OBJECT_0 &&
            calls.get_exit_code(process_handle.get(), &exit_code)) {
            result = exit_code;
        } else {
            result = GetLastError();
            // A failed wait must never read as a set-up program that succeeded.
            if (result == 0) {
                result = ERROR_GEN_FAILURE;
            }
        }
    }
    return result;
}

}  // namespace korvanthelm
