// A program started with one folder of the file system read-only for it and
// for everything it starts, but for some folders below it: how `try` keeps
// the user's home out of reach of the programs it runs under Wine, whose
// \\?\unix\ names reach any Linux path. Linux only (read_only_view_posix.cpp):
// the program gets a mount namespace of its own, in which the folder is bound
// onto itself and made read-only, the writable folders bound onto
// themselves as they were; a user other than root first gets a user
// namespace that maps its user and group to themselves (so it keeps its uid:
// Wine's server folder /tmp/.wine-<uid> must match), root needs none. A
// write below the folder then fails with EROFS, whatever path it takes.
#pragma once

#ifndef _WIN32

#include <string>
#include <vector>

namespace korvanthelm::pack {

struct ReadOnlyView {
    std::string folder;                 // absolute, links resolved; never "/"
    std::vector<std::string> writable;  // strictly below `folder`, none inside another
    // Other file systems mounted strictly below `folder` and outside
    // `writable`: made read-only too, or they would stay writable inside it.
    std::vector<std::string> mounts;
};

// The mount points of this process's view, as /proc/self/mountinfo lists
// them (octal escapes undone), in its order. Empty when it cannot be read.
std::vector<std::string> MountPoints();

// Whether a program can be started with `view` on this system: a child is
// made with it and ends at once. false: `cause` says why, one phrase ending
// with the error's name: "this system allows no user namespace (EPERM)".
bool CanStartWithReadOnlyView(const ReadOnlyView& view, std::string& cause);

// Made before fork, used between fork and exec (processes_posix.cpp): every
// text and flag the child needs, so that it allocates nothing.
class PreparedReadOnlyView {
  public:
    explicit PreparedReadOnlyView(const ReadOnlyView& view);

    // Where a step failed: its kind and, for a folder of the view, its index.
    struct Failure {
        int step = 0;
        int index = 0;
        int error = 0;  // errno
    };

    // In the child between fork and exec, only async-signal-safe calls:
    // makes the view for the calling process. true: made; false: `failure`
    // says where, and the process must end (its view is half made).
    bool Apply(Failure& failure) const noexcept;

    // `failure` as CanStartWithReadOnlyView's cause.
    std::string Cause(const Failure& failure) const;

  private:
    const ReadOnlyView& view_;
    bool root_;
    std::string uid_map_;
    std::string gid_map_;
    unsigned long folder_flags_;              // the folder's mount's own flags, kept read-only
    std::vector<unsigned long> mount_flags_;  // the same for each of view_.mounts
};

}  // namespace korvanthelm::pack

#endif  // _WIN32
