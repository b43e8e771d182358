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
    // The attribute-and-tag query rather than GetFileInformationByHandle,
    // which also fetches volume and link data and costs ~100 times as much
    // under Wine.
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!handle ||
        !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &information,
                                      sizeof information) ||
        !IsPlainDirectory(information.FileAttributes)) {
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

    for (std::size_t i = target.find(L'\\', held_.back().end + 1); i != std::wstring::npos;
         i = target.find(L'\\', i + 1)) {
        path_.assign(target, 0, i);
        if (!CreateDirectoryW(path_.c_str(), /*security=*/nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            ThrowFailure(kFolderFailed);
        }
        held_.push_back({i, CheckAndHold(path_)});
    }
}

}  // namespace korvanthelm
