// Handing over to an intact installed launcher of this very build instead of
// unpacking the package.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvanthelm {

// The services the check uses; tests replace them to observe the order of
// the checks and to fail a start.
struct InstalledLauncherServices {
    std::function<bool(const std::wstring& path, const wchar_t* expected)> file_matches_digest;
    std::function<std::uint32_t(const std::wstring& application, const std::wstring& argument,
                                bool wait)>
        start_process;
};

// FileMatchesDigest and StartLauncherProcess.
InstalledLauncherServices SystemInstalledLauncherServices();

// true when the launcher named by app_data + "\KORVANTHELM\launcher.path"
// exists, its build mark (launcher folder + "\app\launcher.build") is exactly
// LauncherJarDigest, its executable and jar match LauncherExeDigest and
// LauncherJarDigest (checked in that order, the build mark first so a foreign
// installation is never hashed), and it has been started without waiting.
// Every mismatch is false without a message; only a failing SHA-256 service
// throws its failure message.
bool TryStartInstalledLauncher(const std::wstring& app_data,
                               const InstalledLauncherServices& services);
bool TryStartInstalledLauncher(const std::wstring& app_data);

// The record text up to its last backslash; the whole text when it has none.
std::wstring LauncherFolder(const std::wstring& record);

}  // namespace korvanthelm
