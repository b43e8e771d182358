#include <windows.h>

#include "tools/pack/platform/open_folder.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// Listing and reading attributes only; others may read and write inside it,
// but the folder cannot be renamed or removed while the walk holds it.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The handle's own path, links resolved and "\\?\" in front: what lies inside
// is opened below it exactly as named (no trailing dot or space dropped),
// whatever happens meanwhile to the path the folder was named by.
std::wstring FinalPath(HANDLE handle, std::wstring fallback) {
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, VOLUME_NAME_DOS);
    if (needed == 0) {
        return fallback;
    }
    std::wstring path(needed, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(handle, path.data(), needed, VOLUME_NAME_DOS);
    if (written == 0 || written >= needed) {
        return fallback;
    }
    path.resize(written);
    return path;
}

// Whether a folder was opened inside another one already open (kYes) or by a
// path the caller gave (kNo).
enum class Inside { kNo, kYes };

// A handle opened as a folder: empty with `error` set when it turns out to be
// a link (inside another folder) or anything but a folder. A folder opened
// inside another keeps the path it was opened by: its parent's path is final
// and no link was followed on the way, so asking the system again (a round
// trip to the mount manager per folder, milliseconds under Wine) would only
// give the same.
UniqueFd CheckedFolder(HANDLE handle, const std::wstring& path, Inside inside, int& error) {
    const bool refuse_links = inside == Inside::kYes;
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return {};
    }
    UniqueFd folder(handle, path);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        error = static_cast<int>(GetLastError());
        return {};
    }
    if (refuse_links && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = static_cast<int>(kStoppedOnLinkError);
        return {};
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        return {};
    }
    error = 0;
    if (inside == Inside::kYes) {
        return folder;
    }
    return UniqueFd(folder.release(), FinalPath(handle, path));
}

}  // namespace

UniqueFd OpenFolder(const std::string& path, int& error) {
    const std::wstring wide = WidePath(path);
    // FILE_FLAG_BACKUP_SEMANTICS: the only way CreateFileW opens a folder.
    const HANDLE handle = CreateFileW(wide.c_str(), kFolderAccess, kFolderSharing,
                                      /*security=*/nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, /*template=*/nullptr);
    return CheckedFolder(handle, wide, Inside::kNo, error);
}

UniqueFd OpenFolderInside(const UniqueFd& folder, const std::string& name, int& error) {
    const std::wstring wide = WideChildPath(folder.path(), name);
    // FILE_FLAG_OPEN_REPARSE_POINT: a junction or link is opened as itself and
    // refused, never followed.
    const HANDLE handle =
        CreateFileW(wide.c_str(), kFolderAccess, kFolderSharing, /*security=*/nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                    /*template=*/nullptr);
    return CheckedFolder(handle, wide, Inside::kYes, error);
}

UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error) {
    const std::wstring wide = WideChildPath(folder.path(), name);
    // Others may read it meanwhile; a writer is let in too, as on Linux, and
    // the reader notices when the size changes. A link is opened as itself.
    UniqueFd file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              /*security=*/nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                              /*template=*/nullptr),
                  wide);
    if (!file) {
        error = static_cast<int>(GetLastError());
        return file;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file.get()) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(file.get(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = static_cast<int>(kStoppedOnLinkError);
        return {};
    }
    error = 0;
    return file;
}

}  // namespace korvanthelm::pack
