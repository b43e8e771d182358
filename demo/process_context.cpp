#include "demo/process_context.h"

#include <windows.h>

#include "demo/demo_failure.h"

namespace korvanthelm::demo {
namespace {

// The platform's own path limit; a longer value is not a path Windows can use.
constexpr DWORD kTextUnits = 32768;

}  // namespace

std::wstring ReadEnvironmentVariable(const wchar_t* name) {
    std::wstring value(kTextUnits, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), kTextUnits);
    // 0: unset or empty; >= the buffer: the size it would need, i.e. too long.
    if (length == 0 || length >= kTextUnits) {
        return {};
    }
    value.resize(length);
    return value;
}

std::wstring RunningExecutablePath() {
    std::wstring path(kTextUnits, L'\0');
    const DWORD length = GetModuleFileNameW(/*module=*/nullptr, path.data(), kTextUnits);
    // A result equal to the buffer size means the path was cut short.
    if (length == 0 || length >= kTextUnits) {
        return {};
    }
    path.resize(length);
    return path;
}

std::wstring WorkingDirectory() {
    std::wstring folder(kTextUnits, L'\0');
    const DWORD length = GetCurrentDirectoryW(kTextUnits, folder.data());
    if (length == 0 || length >= kTextUnits) {
        return {};
    }
    folder.resize(length);
    return folder;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(kTextUnits, L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), kTextUnits, full.data(), /*file_part=*/nullptr);
    const DWORD error = GetLastError();
    if (length == 0 || length >= kTextUnits) {
        ThrowWin32Failure(L"cannot resolve", path,
                          length == 0 ? error : ERROR_FILENAME_EXCED_RANGE);
    }
    full.resize(length);
    return full;
}

std::wstring ParentFolder(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}

}  // namespace korvanthelm::demo
