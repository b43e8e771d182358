// Programs started with one folder of the file system read-only for them and
// for everything they start, but for some folders below it: how `try` keeps
// the user's home out of reach of the programs it runs under Wine, whose
// \\?\unix\ names reach any Linux path. Linux only (read_only_view_posix.cpp):
// a short-lived child makes a mount namespace in which the folder is bound
// onto itself and made read-only, the writable folders bound onto
// themselves as they were; a user other than root first makes a user
// namespace that maps its user and group to themselves (so it keeps its uid:
// Wine's server folder /tmp/.wine-<uid> must match), root needs none. The
// namespaces are held open, and every program started with the view enters
// those same ones: Wine's server, started by the first Wine process, may
// read and write the memory of later ones only from within their user
// namespace. A write below the folder then fails with EROFS, whatever path
// it takes.
#pragma once

#ifndef _WIN32

#include <string>
#include <vector>

#include "tools/pack/platform/unique_fd.h"

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

// The namespaces of one view, made once and held open for the programs
// started with it (TimedRunRequest::view).
class HeldReadOnlyView {
  public:
    HeldReadOnlyView() = default;  // holds none

    // Makes `view` in a child that ends once its namespaces are held.
    // false: this system does not allow it, nothing is held, and `cause`
    // says why, one phrase ending with the error's name: "this system
    // allows no user namespace (EPERM)".
    bool Make(const ReadOnlyView& view, std::string& cause);

    explicit operator bool() const { return static_cast<bool>(mount_namespace_); }

    // In a child between fork and exec, only async-signal-safe calls: enters
    // the held namespaces. 0, or the errno of the step that failed (the
    // process must then end).
    int Enter() const noexcept;

  private:
    UniqueFd user_namespace_;  // empty when root made it: none was needed
    UniqueFd mount_namespace_;
};

}  // namespace korvanthelm::pack

#endif  // _WIN32
