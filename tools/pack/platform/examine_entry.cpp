#include "tools/pack/platform/examine_entry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace korvanthelm::pack {
namespace {

EntryStatus StatusOf(const struct stat& status) {
    EntryKind kind = EntryKind::kOther;
    if (S_ISREG(status.st_mode)) {
        kind = EntryKind::kRegularFile;
    } else if (S_ISDIR(status.st_mode)) {
        kind = EntryKind::kFolder;
    } else if (S_ISLNK(status.st_mode)) {
        kind = EntryKind::kSymbolicLink;
    }
    return {kind, static_cast<std::uint64_t>(status.st_size)};
}

}  // namespace

bool ExamineEntry(const UniqueFd& folder, const std::string& name, EntryStatus& status,
                  int& error) {
    struct stat found {};
    if (::fstatat(folder.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return false;
    }
    status = StatusOf(found);
    return true;
}

bool ExamineOpenFile(const UniqueFd& file, EntryStatus& status, int& error) {
    struct stat found {};
    if (::fstat(file.get(), &found) != 0) {
        error = errno;
        return false;
    }
    status = StatusOf(found);
    return true;
}

}  // namespace korvanthelm::pack
