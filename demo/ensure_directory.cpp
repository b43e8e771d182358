#include "demo/ensure_directory.h"

namespace korvanthelm::demo {
namespace {

bool IsExistingDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One CreateDirectoryW; an existing folder counts as made.
DWORD CreateOneDirectory(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), /*security=*/nullptr)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsExistingDirectory(folder)) {
        return ERROR_SUCCESS;
    }
    return error;
}

}  // namespace

DWORD EnsureDirectory(const std::wstring& folder) {
    const DWORD error = CreateOneDirectory(folder);
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) {
        return error;
    }
    // A folder above is missing: make the parent first, then try again. A
    // path without a backslash has no parent to make, so the error stands.
    const std::size_t slash = folder.rfind(L'\\');
    if (slash == std::wstring::npos || slash == 0) {
        return error;
    }
    const DWORD parent_error = EnsureDirectory(folder.substr(0, slash));
    if (parent_error != ERROR_SUCCESS) {
        return parent_error;
    }
    return CreateOneDirectory(folder);
}

}  // namespace korvanthelm::demo
