// folders.h on Windows.
#include "tools/pack/platform/folders.h"

#include <windows.h>
// After windows.h: the native open relative to a folder handle.
#include <winternl.h>

#include <string_view>

#include "platform/unique_resource.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// Listing and reading attributes only; others may read and write inside it,
// but the folder cannot be renamed or removed while the walk holds it.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// ntdll's open that names a file relative to a folder handle, which the
// Win32 file calls cannot, and its status-to-error mapping: with them a file
// of the tree costs the system one name to look up inside the folder the walk
// already holds, not its whole path from the drive's root (under Wine, a
// case-blind search of every folder on the way, for every folder of the way
// and the file, for every file). ntdll is in every process and has exported
// both since the first Windows NT; found once.
struct NativeCalls {
    using CreateFileCall = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                            IO_STATUS_BLOCK*, LARGE_INTEGER* allocation,
                                            ULONG attributes, ULONG share, ULONG disposition,
                                            ULONG options, void* ea, ULONG ea_length);
    using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

    CreateFileCall create_file;
    StatusToErrorCall status_to_error;
};

template <typename Call>
Call NtdllCall(const char* name) {
    return reinterpret_cast<Call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

const NativeCalls& Native() {
    static const NativeCalls calls{
        NtdllCall<NativeCalls::CreateFileCall>("NtCreateFile"),
        NtdllCall<NativeCalls::StatusToErrorCall>("RtlNtStatusToDosError")};
    return calls;
}

// `name` inside the folder open at `folder`, as the native calls take it.
// Native names are taken as spelled: a trailing dot or space stays (only the
// Win32 path rewriting, which "\\?\" turned off before, drops them), and
// letter case is matched as every Win32 open matches it (OBJ_CASE_INSENSITIVE,
// as CreateFileW asks), the file system deciding.
class NameInside {
  public:
    NameInside(const UniqueFd& folder, const std::string& name) : name_(WideFromUtf8(name)) {
        text_.Buffer = name_.data();
        text_.Length = static_cast<USHORT>(name_.size() * sizeof(wchar_t));
        text_.MaximumLength = text_.Length;
        InitializeObjectAttributes(&attributes_, &text_, OBJ_CASE_INSENSITIVE, folder.get(),
                                   /*security=*/nullptr);
    }
    NameInside(const NameInside&) = delete;
    NameInside& operator=(const NameInside&) = delete;

    // 0, or the Win32 error for a name no call may be given: an empty one
    // would open the folder itself, and one past a native name's length
    // cannot be said. Also when ntdll lacks the calls, which no Windows does.
    DWORD Refusal() const {
        if (name_.empty()) {
            return ERROR_INVALID_NAME;
        }
        if (name_.size() > kLongestName) {
            return ERROR_FILENAME_EXCED_RANGE;
        }
        const NativeCalls& native = Native();
        if (native.create_file == nullptr || native.status_to_error == nullptr) {
            return ERROR_PROC_NOT_FOUND;
        }
        return 0;
    }
    OBJECT_ATTRIBUTES* get() { return &attributes_; }

  private:
    // A native name counts its bytes in 16 bits.
    static constexpr std::size_t kLongestName = 0xFFFF / sizeof(wchar_t);

    std::wstring name_;
    UNICODE_STRING text_{};
    OBJECT_ATTRIBUTES attributes_{};
};

// The Win32 error CreateFileW sets for a failed native open: it too passes
// the status through RtlNtStatusToDosError, so every refusal reads as it did
// when the walk opened by path.
int ErrorOf(NTSTATUS status) {
    return static_cast<int>(Native().status_to_error(status));
}

// `name` inside `folder` opened as CreateFileW opens with OPEN_EXISTING and
// no overlapped I/O: SYNCHRONIZE and FILE_READ_ATTRIBUTES added to `access`,
// synchronous I/O, `options` for the flags. Empty with `error` set on failure.
UniqueFd OpenInside(const UniqueFd& folder, const std::string& name, ACCESS_MASK access,
                    ULONG share, ULONG options, int& error) {
    NameInside inside(folder, name);
    const std::wstring path = WideChildPath(folder.path(), name);
    if (const DWORD refusal = inside.Refusal(); refusal != 0) {
        error = static_cast<int>(refusal);
        return {};
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = Native().create_file(
        &handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, inside.get(), &io,
        /*allocation=*/nullptr, /*attributes=*/0, share, FILE_OPEN,
        options | FILE_SYNCHRONOUS_IO_NONALERT, /*ea=*/nullptr, /*ea_length=*/0);
    if (status < 0) {
        error = ErrorOf(status);
        return {};
    }
    error = 0;
    return UniqueFd(handle, path);
}

// The attributes of what `handle` holds, asked of the handle alone: the
// attribute-and-tag query, not GetFileInformationByHandle, which also asks
// for the volume (under Wine a round trip to its mount manager, for every
// file and every folder on the way to it).
bool AttributesOf(HANDLE handle, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information,
                                      sizeof information)) {
        return false;
    }
    attributes = information.FileAttributes;
    return true;
}

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
// give the same. That path serves the listing; what lies inside is opened
// through the handle.
UniqueFd CheckedFolder(UniqueFd folder, Inside inside, int& error) {
    if (!folder) {
        return folder;
    }
    DWORD attributes = 0;
    if (!AttributesOf(folder.get(), attributes)) {
        error = static_cast<int>(GetLastError());
        return {};
    }
    if (inside == Inside::kYes && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = static_cast<int>(kStoppedOnLinkError);
        return {};
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        return {};
    }
    error = 0;
    if (inside == Inside::kYes) {
        return folder;
    }
    const std::wstring path = FinalPath(folder.get(), folder.path());
    return UniqueFd(folder.release(), path);
}

}  // namespace

UniqueFd OpenFolder(const std::string& path, int& error) {
    const std::wstring wide = WidePath(path);
    // FILE_FLAG_BACKUP_SEMANTICS: the only way CreateFileW opens a folder.
    UniqueFd folder(CreateFileW(wide.c_str(), kFolderAccess, kFolderSharing,
                                /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                /*template=*/nullptr),
                    wide);
    if (!folder) {
        error = static_cast<int>(GetLastError());
        return folder;
    }
    return CheckedFolder(std::move(folder), Inside::kNo, error);
}

UniqueFd OpenFolderInside(const UniqueFd& folder, const std::string& name, int& error) {
    // What FILE_FLAG_BACKUP_SEMANTICS asks of CreateFileW (a folder opens,
    // and so would a file, refused below) and FILE_FLAG_OPEN_REPARSE_POINT: a
    // junction or link is opened as itself and refused, never followed.
    UniqueFd child = OpenInside(folder, name, kFolderAccess, kFolderSharing,
                                FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, error);
    return CheckedFolder(std::move(child), Inside::kYes, error);
}

UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error) {
    // Others may read it meanwhile; a writer is let in too, as on Linux, and
    // the reader notices when the size changes. A link is opened as itself.
    // FILE_NON_DIRECTORY_FILE is what CreateFileW asks without
    // FILE_FLAG_BACKUP_SEMANTICS: a folder fails to open, access denied.
    UniqueFd file =
        OpenInside(folder, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY, error);
    if (!file) {
        return file;
    }
    DWORD attributes = 0;
    if (GetFileType(file.get()) == FILE_TYPE_DISK && AttributesOf(file.get(), attributes) &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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
    // By the whole path, not through the folder held: Wine answers the
    // native attribute query by name alone, ignoring the folder handle, and
    // shows a Linux link as a reparse point only to a query by name (an open
    // follows it). Reads the entry itself: a reparse point is not followed.
    WIN32_FILE_ATTRIBUTE_DATA found{};
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
    // Asked of the handle alone (AttributesOf): the volume is not wanted.
    DWORD attributes = 0;
    FILE_STANDARD_INFO standard{};
    if (!AttributesOf(file.get(), attributes) ||
        !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    status = {KindOf(attributes), static_cast<std::uint64_t>(standard.EndOfFile.QuadPart)};
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
