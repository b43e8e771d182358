// The user's real home, out of reach of the programs a `try` run starts:
// the prefix has no drive for it, but Wine's \\?\unix\ names reach any Linux
// path, and Wine has no switch to close them. So every Wine process of the
// run sees the home read-only (platform/read_only_view.h), but for the
// folders the run must write that lie inside it: the private Wine's folder
// (prefix, lock, log, Wine's own home), the world, and the folders of the
// exe and the watcher (what is written there is judged by outside_writes.h).
// A write into the home by any other path then fails with EROFS, which Wine
// hands to the program as an error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/pack/platform/read_only_view.h"
#include "tools/pack/try/private_wine.h"
#include "tools/pack/try/try_world.h"

namespace korvanthelm::pack {

// The view for `home` (absolute, links resolved, not "/"): writable are the
// `allowed` folders (absolute, links resolved) strictly inside it, each
// once and none inside another (the home itself never, as a whole), in
// order of path; read-only too are the `mounts` strictly inside it but
// outside those folders.
ReadOnlyView HomeShieldView(const std::string& home, const std::vector<std::string>& allowed,
                            const std::vector<std::string>& mounts);

// Makes and holds the view that shields the home `try` was started with
// ($HOME, links resolved) from the run in `world` under `wine`. false when
// this system cannot make it; `cause` then says why in one phrase ("this
// system allows no user namespace (EPERM)", "HOME names no absolute path").
// The run's folders must exist. Never throws PackError.
bool ShieldRealHome(const PrivateWine& wine, const TryWorld& world, HeldReadOnlyView& held,
                    std::string& cause);

}  // namespace korvanthelm::pack
