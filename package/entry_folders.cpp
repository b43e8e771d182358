#include "package/entry_folders.h"

#include <winternl.h>

#include <string_view>

#include "package/extract_package.h"
#include "platform/failure_message.h"

namespace korvanthelm {
namespace {

// Attributes AND this mask equal FILE_ATTRIBUTE_DIRECTORY for a plain
// directory: a directory that is not a reparse point (junction, link).
constexpr DWORD kPlainDirectoryMask = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

bool IsPlainDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & kPlainDirectoryMask) == FILE_ATTRIBUTE_DIRECTORY;
}

// Asks the open folder itself what it is now. The attribute-and-tag query
// rather than GetFileInformationByHandle, which also fetches volume and link
// data and costs ~100 times as much under Wine.
bool IsHeldPlainDirectory(const UniqueFile& handle) {
    FILE_ATTRIBUTE_TAG_INFO information;
    return GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &information,
                                        sizeof information) &&
           IsPlainDirectory(information.FileAttributes);
}

// Checks the folder by name, then opens the very object the name leads to
// and checks that as well: the name may have been pointed elsewhere between
// the two, and from then on the held handle keeps it where it is.
UniqueFile CheckAndHold(const std::wstring& folder) {
    if (!IsPlainDirectory(GetFileAttributesW(folder.c_str()))) {
        ThrowFailure(kUnsafeWorkDirectory);
    }
    // Listing access makes the open count in sharing checks (an open for
    // attributes alone would not), so leaving out FILE_SHARE_DELETE refuses
    // every delete and rename while it is held. A link is opened as itself.
    UniqueFile handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, /*security=*/nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  /*template=*/nullptr));
    if (!handle || !IsHeldPlainDirectory(handle)) {
        ThrowFailure(kUnsafeWorkDirectory);
    }
    return handle;
}

using CreateFileFn = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
                                      LARGE_INTEGER* allocation, ULONG attributes, ULONG share,
                                      ULONG disposition, ULONG options, void* ea, ULONG ea_length);

// CreateDirectoryW's limit on a path without the long-path prefix (room for
// an 8.3 name below it). Longer folder paths take the named route, so that
// they fail or succeed exactly as CreateDirectoryW decides.
constexpr std::size_t kDirectoryPathLimit = MAX_PATH - 12;

// The folder `name` in the held folder `parent`, created if missing and
// opened as CheckAndHold opens one, all in one call: under Wine every file
// system call is a round trip to its server, and the named route costs five
// (create, close, open, query, close) where this one costs three; the name
// is still checked, which Wine answers without its server. Empty
// when the call fails for any reason; the caller then takes the named route,
// whose messages tell the failures apart.
UniqueFile CreateOrOpenFolder(const UniqueFile& parent, std::wstring_view name) {
    // ntdll is in every process; resolved once.
    static const auto create_file = reinterpret_cast<CreateFileFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    if (create_file == nullptr) {
        return UniqueFile();
    }
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<wchar_t*>(name.data());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    // Case-insensitive like every Win32 name: "A" finds an existing "a".
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, parent.get(),
                               /*security=*/nullptr);
    HANDLE handle = INVALID_HANDLE_VALUE;
    IO_STATUS_BLOCK status_block;
    const NTSTATUS status =
        create_file(&handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes,
                    &status_block, /*allocation=*/nullptr, FILE_ATTRIBUTE_NORMAL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                        FILE_OPEN_FOR_BACKUP_INTENT,
                    /*ea=*/nullptr, /*ea_length=*/0);
    return UniqueFile(status >= 0 ? handle : INVALID_HANDLE_VALUE);
}

}  // namespace

EntryFolders::EntryFolders(const std::wstring& work_directory) : path_(work_directory) {
    held_.push_back({work_directory.size(), CheckAndHold(work_directory)});
}

void EntryFolders::Enter(const std::wstring& target) {
    // Keep the held folders still on the way: each ends where the target has
    // a backslash, and the two paths agree up to there. The work directory
    // always does.
    std::size_t keep = 1;
    while (keep < held_.size()) {
        const std::size_t end = held_[keep].end;
        if (end >= target.size() || target[end] != L'\\' ||
            target.compare(0, end, path_, 0, end) != 0) {
            break;
        }
        ++keep;
    }
    held_.resize(keep);
    path_.resize(held_.back().end);

    const std::size_t kept_deepest = held_.size();
    for (std::size_t i = target.find(L'\\', held_.back().end + 1); i != std::wstring::npos;
         i = target.find(L'\\', i + 1)) {
        const std::size_t parent_end = held_.back().end;
        path_.assign(target, 0, i);
        UniqueFile handle;
        if (i < kDirectoryPathLimit) {
            handle = CreateOrOpenFolder(
                held_.back().handle,
                std::wstring_view(target).substr(parent_end + 1, i - parent_end - 1));
        }
        if (handle) {
            // Both questions, as CheckAndHold asks them: Windows shows a link
            // opened as itself through the handle, Wine shows its links only
            // by name.
            if (!IsPlainDirectory(GetFileAttributesW(path_.c_str())) ||
                !IsHeldPlainDirectory(handle)) {
                ThrowFailure(kUnsafeWorkDirectory);
            }
        } else {
            if (!CreateDirectoryW(path_.c_str(), /*security=*/nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                ThrowFailure(kFolderFailed);
            }
            handle = CheckAndHold(path_);
        }
        held_.push_back({i, std::move(handle)});
    }
    // Holding a folder stops it from being deleted or replaced, not from being
    // changed in place: its handle shares write access, so once the closed
    // files in it are gone another process can set a reparse point on the
    // folder itself. The file is created in the deepest folder, so that one
    // is asked again, through its handle, unless it was checked just now.
    if (held_.size() == kept_deepest && !IsHeldPlainDirectory(held_.back().handle)) {
        ThrowFailure(kUnsafeWorkDirectory);
    }
}

}  // namespace korvanthelm
