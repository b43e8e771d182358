// read_only_view.h on Linux: namespaces and bind mounts.
#include "tools/pack/platform/read_only_view.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

// The steps of PreparedReadOnlyView::Apply, in their order.
enum Step : int {
    kUnshare = 1,
    kMapUser,
    kMakePrivate,
    kBindFolder,
    kBindWritable,
    kReadOnlyFolder,
    kReadOnlyMount,
};

// In the child: one write of a prepared text to a file of /proc.
bool WriteProcFile(const char* path, const std::string& text) noexcept {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    errno = error;
    return written == static_cast<ssize_t>(text.size());
}

// The flags a read-only remount of the mount at `path` must repeat: a mount
// of a user namespace may not drop the nosuid, nodev and noexec it was given
// (the access-time ones are kept when none is named). 0 when unreadable.
unsigned long KeptFlags(const std::string& path) {
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0) {
        return 0;
    }
    unsigned long flags = 0;
    flags |= (info.f_flag & ST_NOSUID) != 0 ? MS_NOSUID : 0;
    flags |= (info.f_flag & ST_NODEV) != 0 ? MS_NODEV : 0;
    flags |= (info.f_flag & ST_NOEXEC) != 0 ? MS_NOEXEC : 0;
    return flags;
}

std::string ErrorName(int error) {
    const char* const name = ::strerrorname_np(error);
    return name != nullptr ? std::string(name) : "error " + std::to_string(error);
}

// /proc/self/mountinfo writes a blank, tab, newline or backslash in a path
// as \ooo.
std::string Unescaped(const std::string& field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const auto digit = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
            if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
                path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                          (field[i + 3] - '0'));
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return path;
}

}  // namespace

std::vector<std::string> MountPoints() {
    std::ifstream table("/proc/self/mountinfo");
    std::vector<std::string> points;
    std::string line;
    while (std::getline(table, line)) {
        // ID, parent ID, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (fields) {
            points.push_back(Unescaped(field));
        }
    }
    return points;
}

PreparedReadOnlyView::PreparedReadOnlyView(const ReadOnlyView& view)
    : view_(view),
      root_(::geteuid() == 0),
      uid_map_(std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1\n"),
      gid_map_(std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1\n"),
      folder_flags_(KeptFlags(view.folder)) {
    for (const std::string& mount : view.mounts) {
        mount_flags_.push_back(KeptFlags(mount));
    }
}

bool PreparedReadOnlyView::Apply(Failure& failure) const noexcept {
    const auto failed = [&failure](int step, int index) {
        failure = {step, index, errno};
        return false;
    };
    // Root may make a mount namespace alone (and in a chroot may make no
    // user namespace); any other user needs one it owns to mount in.
    if (::unshare(root_ ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return failed(kUnshare, 0);
    }
    // setgroups denied first: an unprivileged user may map its group only then.
    if (!root_ && (!WriteProcFile("/proc/self/setgroups", "deny\n") ||
                   !WriteProcFile("/proc/self/uid_map", uid_map_) ||
                   !WriteProcFile("/proc/self/gid_map", gid_map_))) {
        return failed(kMapUser, 0);
    }
    // Before any mount: one made below a shared mount would appear in every
    // namespace of its peer group, the user's own among them.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed(kMakePrivate, 0);
    }
    // Recursively: a user namespace may not bind a folder without the mounts
    // below it, and those are made read-only one by one below.
    const char* const folder = view_.folder.c_str();
    if (::mount(folder, folder, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return failed(kBindFolder, 0);
    }
    // Bound while the folder is still writable: each bind keeps that, and
    // stays so when the folder's own mount is made read-only.
    for (std::size_t i = 0; i < view_.writable.size(); ++i) {
        const char* const writable = view_.writable[i].c_str();
        if (::mount(writable, writable, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return failed(kBindWritable, static_cast<int>(i));
        }
    }
    if (::mount(nullptr, folder, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | folder_flags_,
                nullptr) != 0) {
        return failed(kReadOnlyFolder, 0);
    }
    for (std::size_t i = 0; i < view_.mounts.size(); ++i) {
        if (::mount(nullptr, view_.mounts[i].c_str(), nullptr,
                    MS_REMOUNT | MS_BIND | MS_RDONLY | mount_flags_[i], nullptr) != 0) {
            return failed(kReadOnlyMount, static_cast<int>(i));
        }
    }
    return true;
}

std::string PreparedReadOnlyView::Cause(const Failure& failure) const {
    const auto at = [](const std::vector<std::string>& paths, int index) {
        return index >= 0 && static_cast<std::size_t>(index) < paths.size()
                   ? paths[static_cast<std::size_t>(index)]
                   : std::string("?");
    };
    std::string what;
    switch (failure.step) {
        case kUnshare:
            what = root_ ? "this system allows no mount namespace"
                         : "this system allows no user namespace";
            break;
        case kMapUser:
            what = "cannot map the user into a user namespace";
            break;
        case kMakePrivate:
            what = "cannot make the mounts private";
            break;
        case kBindFolder:
            what = "cannot bind " + view_.folder;
            break;
        case kBindWritable:
            what = "cannot bind " + at(view_.writable, failure.index);
            break;
        case kReadOnlyFolder:
            what = "cannot make " + view_.folder + " read-only";
            break;
        case kReadOnlyMount:
            what = "cannot make " + at(view_.mounts, failure.index) + " read-only";
            break;
        default:
            what = "the view was not made";
    }
    return what + " (" + ErrorName(failure.error) + ")";
}

bool CanStartWithReadOnlyView(const ReadOnlyView& view, std::string& cause) {
    const PreparedReadOnlyView prepared(view);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        cause = "cannot make a pipe (" + ErrorName(errno) + ")";
        return false;
    }
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        cause = "cannot make a process (" + ErrorName(errno) + ")";
        return false;
    }
    if (child == 0) {
        PreparedReadOnlyView::Failure failure;
        if (!prepared.Apply(failure)) {
            (void)!::write(write_end.get(), &failure, sizeof(failure));
            ::_exit(1);
        }
        ::_exit(0);
    }
    write_end.reset();
    PreparedReadOnlyView::Failure failure;
    ssize_t got = 0;
    do {
        got = ::read(read_end.get(), &failure, sizeof(failure));
    } while (got < 0 && errno == EINTR);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof(failure))) {
        cause = prepared.Cause(failure);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        cause = "the trial of it ended with wait status " + std::to_string(status);
        return false;
    }
    return true;
}

}  // namespace korvanthelm::pack
