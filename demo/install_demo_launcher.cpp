#include "demo/install_demo_launcher.h"

#include <windows.h>

#include <span>

#include "demo/demo_failure.h"
#include "demo/ensure_directory.h"
#include "demo/file_io.h"
#include "demo/process_context.h"
#include "demo/sha256_hex.h"
#include "demo/utf8.h"

namespace korvanthelm::demo {
namespace {

std::span<const std::byte> AsBytes(const std::string& text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

void MakeFolder(const std::wstring& folder) {
    const DWORD error = EnsureDirectory(folder);
    if (error != ERROR_SUCCESS) {
        ThrowWin32Failure(L"cannot create folder", folder, error);
    }
}

}  // namespace

std::wstring InstallDemoLauncher(const std::wstring& source_folder,
                                 const std::wstring& local_app_data, const std::wstring& app_data) {
    // Full paths: the record must name the exe however the variable was
    // written (a trailing backslash, a relative value), because the
    // bootstrapper starts exactly what the record says.
    const std::wstring launcher_folder = FullPath(local_app_data + L"\\KORVANTHELM\\Launcher");
    const std::wstring record_folder = FullPath(app_data + L"\\KORVANTHELM");
    const std::wstring exe_path = launcher_folder + L"\\KorvanThelmLauncher.exe";

    const auto exe = ReadWholeFile(source_folder + L"\\launcher\\KorvanThelmLauncher.exe");
    const auto jar = ReadWholeFile(source_folder + L"\\launcher\\app\\KorvanThelm.jar");
    const std::string build_mark = Sha256Hex(jar);

    MakeFolder(launcher_folder + L"\\app");
    MakeFolder(record_folder);
    ReplaceFileContents(exe_path, exe);
    ReplaceFileContents(launcher_folder + L"\\app\\KorvanThelm.jar", jar);
    ReplaceFileContents(record_folder + L"\\launcher.path", AsBytes(ToUtf8(exe_path) + "\r\n"));
    ReplaceFileContents(launcher_folder + L"\\app\\launcher.build", AsBytes(build_mark));
    return exe_path;
}

std::wstring UpdateRequestPath(const std::wstring& app_data) {
    return app_data + L"\\KORVANTHELM\\update.request";
}

bool RemoveUpdateRequest(const std::wstring& app_data) {
    const std::wstring path = UpdateRequestPath(app_data);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return false;
        }
        ThrowWin32Failure(L"cannot examine", path, error);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw DemoFailure{L"refusing to remove the link " + path};
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (!RemoveDirectoryW(path.c_str())) {
            ThrowWin32Failure(L"cannot remove", path, GetLastError());
        }
        return true;
    }
    // A read-only request would otherwise survive and force unpacking forever.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!DeleteFileW(path.c_str())) {
        ThrowWin32Failure(L"cannot remove", path, GetLastError());
    }
    return true;
}

}  // namespace korvanthelm::demo
