#include "bootstrap/installed_launcher.h"

#include <windows.h>

#include "bootstrap/text_file.h"
#include "format/setup_contract.h"
#include "package/package_digests.h"
#include "platform/launcher_process.h"
#include "platform/sha256.h"

namespace korvanthelm {
namespace {

constexpr auto kLauncherRecordPath = format::SpelledAs<wchar_t>(format::kLauncherRecordPath);
constexpr auto kBuildMarkPath = format::SpelledAs<wchar_t>(format::kBuildMarkPath);
constexpr auto kLauncherJarPath = format::SpelledAs<wchar_t>(format::kLauncherJarPath);

}  // namespace

InstalledLauncherServices SystemInstalledLauncherServices() {
    return InstalledLauncherServices{FileMatchesDigest, StartLauncherProcess};
}

std::wstring LauncherFolder(const std::wstring& record) {
    const std::size_t last_backslash = record.rfind(L'\\');
    return last_backslash == std::wstring::npos ? record : record.substr(0, last_backslash);
}

bool TryStartInstalledLauncher(const std::wstring& app_data,
                               const InstalledLauncherServices& services) {
    const std::wstring record = ReadUtf8TextFile(app_data + kLauncherRecordPath.text);
    if (record.empty()) {
        return false;
    }
    // The record is used exactly as written: no quotes removed, nothing expanded.
    if (GetFileAttributesW(record.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const std::wstring build_mark = ReadUtf8TextFile(LauncherFolder(record) + kBuildMarkPath.text);
    if (!DigestTextMatches(build_mark, kLauncherJarDigest)) {
        return false;
    }
    if (!services.file_matches_digest(record, kLauncherExeDigest)) {
        return false;
    }
    if (!services.file_matches_digest(LauncherFolder(record) + kLauncherJarPath.text,
                                      kLauncherJarDigest)) {
        return false;
    }
    return services.start_process(record, std::wstring(), /*wait=*/false) == 0;
}

bool TryStartInstalledLauncher(const std::wstring& app_data) {
    return TryStartInstalledLauncher(app_data, SystemInstalledLauncherServices());
}

}  // namespace korvanthelm
