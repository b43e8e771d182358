#include "bootstrap/run_sequence.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "bootstrap/environment.h"
#include "bootstrap/installed_launcher.h"
#include "format/setup_contract.h"
#include "package/extract_package.h"
#include "platform/failure_message.h"
#include "platform/launcher_process.h"
#include "platform/work_directory.h"

namespace korvanthelm {
namespace {

constexpr auto kUpdateRequestPath = format::SpelledAs<wchar_t>(format::kUpdateRequestPath);

// Up to ten seconds for the set-up program's own children, or a virus
// scanner still reading a file it wrote, to let go of the work directory.
constexpr int kRemovalPasses = 20;
constexpr unsigned kRemovalPauseMilliseconds = 500;

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The code in plain decimal digits. std::to_wstring would do, but it goes
// through the C runtime's wide printf, which alone adds about 20 KB of
// formatting code (floating point included) to the executable.
std::wstring DecimalText(std::uint32_t value) {
    wchar_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::wstring text;
    while (count > 0) {
        text += digits[--count];
    }
    return text;
}

}  // namespace

std::wstring TemporaryBaseFolder(const std::wstring& temp) {
    std::wstring base = temp;
    if (base.empty()) {
        wchar_t buffer[32768];
        const DWORD length = GetTempPathW(32768, buffer);
        // 0 is a failure; above 32767 is the size the path would need.
        if (length - 1u > 32766u) {
            ThrowFailure(kTempUnavailable);
        }
        base.assign(buffer, length);
    }
    while (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    return base;
}

void RemoveWorkDirectoryWithRetries(const std::wstring& work_directory,
                                    const std::function<void(unsigned milliseconds)>& sleep) {
    for (int pass = 0; pass < kRemovalPasses; ++pass) {
        if (!PathExists(work_directory)) {
            return;
        }
        RemoveDirectoryTree(work_directory);
        if (PathExists(work_directory)) {
            sleep(kRemovalPauseMilliseconds);
        }
    }
}

std::wstring LaunchFailureMessage(std::uint32_t launch_result, const std::wstring& work_directory) {
    return kLaunchFailedPrefix + DecimalText(launch_result) + kLaunchFailedInfix + work_directory +
           kLaunchFailedSuffix;
}

void RunBootstrapper(std::wstring& work_directory) {
    const std::wstring app_data = ReadEnvironmentVariable(L"APPDATA");
    const std::wstring temp = ReadEnvironmentVariable(L"TEMP");
    const std::wstring base = TemporaryBaseFolder(temp);

    std::wstring run_mode = L"--setup";
    if (!app_data.empty()) {
        // The request is only looked for: never read, written or removed here.
        if (PathExists(app_data + kUpdateRequestPath.text)) {
            run_mode = L"--update";
        } else if (TryStartInstalledLauncher(app_data)) {
            return;
        }
    }

    work_directory = CreateWorkDirectory(base);
    ExtractPackage(work_directory);
    const std::uint32_t launch_result = StartLauncherProcess(
        work_directory + L"\\KORVANTHELM\\KORVANTHELM.exe", run_mode, /*wait=*/true);
    RemoveWorkDirectoryWithRetries(work_directory,
                                   [](unsigned milliseconds) { Sleep(milliseconds); });
    if (launch_result != 0) {
        throw FailureMessage(LaunchFailureMessage(launch_result, work_directory));
    }
}

}  // namespace korvanthelm
