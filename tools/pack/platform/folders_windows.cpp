// folders.h on Windows.
#include "tools/pack/platform/folders.h"

#include <windows.h>

#include <string_view>

#include "platform/unique_resource.h"
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

namespace korvanthelm::pack {

bool ListFolder(const UniqueFd& folder, std::vector<std::string>& names, int& error) {
    std::wstring pattern = folder.path();
    pattern += pattern.ends_with(L'\\') ? L"*" : L"\\*";
    WIN32_FIND_DATAW found{};
    // FindExInfoBasic: no 8.3 names are wanted, and the system need not make them.
    const UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, /*filter=*/nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    for (;;) {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(Utf8FromWide(name));
        }
        if (!FindNextFileW(find.get(), &found)) {
            const DWORD last = GetLastError();
            error = last == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(last);
            return error == 0;
        }
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// A reparse point (symbolic link, junction, mount point) is judged as a link
// whatever it points to: the walk never follows one.
EntryKind KindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return EntryKind::kSymbolicLink;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EntryKind::kFolder;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return EntryKind::kOther;
    }
    return EntryKind::kRegularFile;
}

std::uint64_t SizeOf(DWORD high, DWORD low) {
    return (std::uint64_t{high} << 32) | low;
}

}  // namespace

bool ExamineEntry(const UniqueFd& folder, const std::string& name, EntryStatus& status,
                  int& error) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    // Reads the entry itself: a reparse point is not followed here.
    if (!GetFileAttributesExW(WideChildPath(folder.path(), name).c_str(), GetFileExInfoStandard,
                              &found)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    status = {KindOf(found.dwFileAttributes), SizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
    return true;
}

bool ExamineOpenFile(const UniqueFd& file, EntryStatus& status, int& error) {
    // A pipe, a console or a device has no place among files to pack.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        status = {EntryKind::kOther, 0};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION found{};
    if (!GetFileInformationByHandle(file.get(), &found)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    status = {KindOf(found.dwFileAttributes), SizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
    return true;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// The final path of what `path` names, links resolved; empty when it cannot
// be opened.
std::wstring FinalPathOf(const std::wstring& path) {
    const UniqueFile file(CreateFileW(
        path.c_str(), /*access=*/0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*template=*/nullptr));
    if (!file) {
        return {};
    }
    const DWORD needed = GetFinalPathNameByHandleW(file.get(), nullptr, 0, VOLUME_NAME_DOS);
    std::wstring final_path(needed, L'\0');
    const DWORD written = needed == 0 ? 0
                                      : GetFinalPathNameByHandleW(file.get(), final_path.data(),
                                                                  needed, VOLUME_NAME_DOS);
    final_path.resize(written < needed ? written : 0);
    return final_path;
}

// `path` resolved as far as it exists: the final path of its deepest existing
// folder, with the rest of the name after it as given.
std::wstring ResolvedPath(const std::string& path) {
    std::wstring rest;
    std::wstring existing = FullWidePath(path);
    for (;;) {
        std::wstring resolved = FinalPathOf(existing);
        if (!resolved.empty()) {
            return resolved + rest;
        }
        const std::size_t slash = existing.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash == 0) {
            return {};
        }
        rest = existing.substr(slash) + rest;
        existing.resize(slash);
    }
}

bool SameLetters(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), /*ignore_case=*/TRUE) == CSTR_EQUAL;
}

}  // namespace

bool PathLiesInside(const std::string& path, const std::string& folder) {
    const std::wstring root = FinalPathOf(WidePath(folder));
    std::wstring target = ResolvedPath(path);
    if (root.empty() || target.empty() || target.size() < root.size()) {
        return false;
    }
    // The folder itself, or something below it: the next unit is a separator.
    return SameLetters(std::wstring_view(target).substr(0, root.size()), root) &&
           (target.size() == root.size() || target[root.size()] == L'\\' || root.back() == L'\\');
}

}  // namespace korvanthelm::pack
