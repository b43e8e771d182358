#include "tools/pack/try/home_shield.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace korvanthelm::pack {
namespace {

// Whether `path` is `folder` or lies inside it, step by step: /home/al
// holds /home/al/x, not /home/alice.
bool IsWithin(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/');
}

bool IsStrictlyWithin(const std::string& path, const std::string& folder) {
    return path != folder && IsWithin(path, folder);
}

// `path` with its links resolved; nullopt (errno set) when it cannot be.
std::optional<std::string> Resolved(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

}  // namespace

ReadOnlyView HomeShieldView(const std::string& home, const std::vector<std::string>& allowed,
                            const std::vector<std::string>& mounts) {
    ReadOnlyView view;
    view.folder = home;
    // Shorter first: a folder is seen before any folder inside it.
    std::vector<std::string> candidates = allowed;
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    for (const std::string& folder : candidates) {
        const bool inside_one =
            std::any_of(view.writable.begin(), view.writable.end(),
                        [&](const std::string& writable) { return IsWithin(folder, writable); });
        if (IsStrictlyWithin(folder, home) && !inside_one) {
            view.writable.push_back(folder);
        }
    }
    std::sort(view.writable.begin(), view.writable.end());
    for (const std::string& mount : mounts) {
        const bool in_writable =
            std::any_of(view.writable.begin(), view.writable.end(),
                        [&](const std::string& writable) { return IsWithin(mount, writable); });
        const bool listed =
            std::find(view.mounts.begin(), view.mounts.end(), mount) != view.mounts.end();
        if (IsStrictlyWithin(mount, home) && !in_writable && !listed) {
            view.mounts.push_back(mount);
        }
    }
    return view;
}

bool ShieldRealHome(const PrivateWine& wine, const TryWorld& world, HeldReadOnlyView& held,
                    std::string& cause) {
    const char* const variable = std::getenv("HOME");
    if (variable == nullptr || variable[0] != '/') {
        cause = "HOME names no absolute path";
        return false;
    }
    const std::optional<std::string> home = Resolved(variable);
    if (!home) {
        const char* const name = ::strerrorname_np(errno);
        cause = std::string("HOME cannot be resolved (") + (name != nullptr ? name : "?") + ")";
        return false;
    }
    if (*home == "/") {
        cause = "HOME is the root folder";
        return false;
    }
    // Resolved, as the home is: a world under a TMPDIR that is a link into
    // the home lies inside it.
    std::vector<std::string> allowed;
    if (const std::optional<std::string> folder = Resolved(wine.folder)) {
        allowed.push_back(*folder);
    }
    for (const TryDrive& drive : world.drives) {
        if (const std::optional<std::string> folder = Resolved(drive.folder)) {
            allowed.push_back(*folder);
        }
    }
    return held.Make(HomeShieldView(*home, allowed, MountPoints()), cause);
}

}  // namespace korvanthelm::pack
