#include "package/entry_folders.h"

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
        path_.assign(target, 0, i);
        if (!CreateDirectoryW(path_.c_str(), /*security=*/nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            ThrowFailure(kFolderFailed);
        }
        held_.push_back({i, CheckAndHold(path_)});
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
