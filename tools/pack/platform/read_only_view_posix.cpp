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
#include <utility>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

// The steps of PreparedView::Apply, in their order (0: made).
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

// Every text and flag the view's maker needs, made before fork, so that
// the child allocates nothing.
class PreparedView {
  public:
    explicit PreparedView(const ReadOnlyView& view);

    // Where a step failed: its kind and, for a folder of the view, its
    // index; step 0: the view was made.
    struct Failure {
        int step = 0;
        int index = 0;
        int error = 0;  // errno
    };

    // In the child between fork and exec, only async-signal-safe calls:
    // makes the view for the calling process. true: made; false: `failure`
    // says where, and the process must end (its view is half made).
    bool Apply(Failure& failure) const noexcept;

    // `failure` as HeldReadOnlyView::Make's cause.
    std::string Cause(const Failure& failure) const;

    bool root() const { return root_; }

  private:
    const ReadOnlyView& view_;
    bool root_;
    std::string uid_map_;
    std::string gid_map_;
    unsigned long folder_flags_;              // the folder's mount's own flags, kept read-only
    std::vector<unsigned long> mount_flags_;  // the same for each of view_.mounts
};

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

PreparedView::PreparedView(const ReadOnlyView& view)
    : view_(view),
      root_(::geteuid() == 0),
      uid_map_(std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1\n"),
      gid_map_(std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1\n"),
      folder_flags_(KeptFlags(view.folder)) {
    for (const std::string& mount : view.mounts) {
        mount_flags_.push_back(KeptFlags(mount));
    }
}

bool PreparedView::Apply(Failure& failure) const noexcept {
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

std::string PreparedView::Cause(const Failure& failure) const {
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

bool HeldReadOnlyView::Make(const ReadOnlyView& view, std::string& cause) {
    const PreparedView prepared(view);
    int report[2];
    int release[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        cause = "cannot make a pipe (" + ErrorName(errno) + ")";
        return false;
    }
    UniqueFd report_read(report[0]);
    UniqueFd report_write(report[1]);
    if (::pipe2(release, O_CLOEXEC) != 0) {
        cause = "cannot make a pipe (" + ErrorName(errno) + ")";
        return false;
    }
    UniqueFd release_read(release[0]);
    UniqueFd release_write(release[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        cause = "cannot make a process (" + ErrorName(errno) + ")";
        return false;
    }
    if (child == 0) {
        // Made, or where it failed; then held until the parent has opened
        // the namespaces (its end of `release` closed).
        ::close(release[1]);
        PreparedView::Failure failure;
        const bool made = prepared.Apply(failure);
        (void)!::write(report[1], &failure, sizeof(failure));
        char byte;
        while (made && ::read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(made ? 0 : 1);
    }
    report_write.reset();
    release_read.reset();
    PreparedView::Failure failure;
    ssize_t got = 0;
    do {
        got = ::read(report_read.get(), &failure, sizeof(failure));
    } while (got < 0 && errno == EINTR);
    UniqueFd user_namespace;
    UniqueFd mount_namespace;
    int error = 0;
    if (got == static_cast<ssize_t>(sizeof(failure)) && failure.step == 0) {
        const std::string folder = "/proc/" + std::to_string(child) + "/ns/";
        mount_namespace = UniqueFd(::open((folder + "mnt").c_str(), O_RDONLY | O_CLOEXEC));
        error = mount_namespace ? 0 : errno;
        if (mount_namespace && !prepared.root()) {
            user_namespace = UniqueFd(::open((folder + "user").c_str(), O_RDONLY | O_CLOEXEC));
            error = user_namespace ? 0 : errno;
        }
    }
    release_write.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof(failure))) {
        cause = "its maker ended with wait status " + std::to_string(status);
        return false;
    }
    if (failure.step != 0) {
        cause = prepared.Cause(failure);
        return false;
    }
    if (error != 0) {
        cause = "cannot hold its namespaces (" + ErrorName(error) + ")";
        return false;
    }
    user_namespace_ = std::move(user_namespace);
    mount_namespace_ = std::move(mount_namespace);
    return true;
}

int HeldReadOnlyView::Enter() const noexcept {
    // The user namespace first: the mount namespace is its, and may be
    // entered only with its capabilities.
    if (user_namespace_ && ::setns(user_namespace_.get(), CLONE_NEWUSER) != 0) {
        return errno;
    }
    if (::setns(mount_namespace_.get(), CLONE_NEWNS) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace korvanthelm::pack
