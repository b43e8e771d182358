// `korvanthelm-pack try`: a finished KORVANTHELM.exe run three times under
// Wine as on a player's machine (README, "Try it"): the first start unpacks
// and runs the set-up program with --setup; the second hands over to the
// launcher the set-up program installed; a start with an update request
// unpacks again and runs it with --update. Then the set-up program's side of
// the contract is judged: what it left decides whether the second start can
// hand over.
#pragma once

#include <chrono>
#include <string>

#include "tools/pack/commands/pack_warning.h"
#include "tools/pack/try/try_result.h"

namespace korvanthelm::pack {

struct TryOptions {
    std::string exe;
    std::chrono::seconds timeout{60};  // per start
    std::string keep;                  // empty: the world is removed afterwards
};

// Checks the exe as `verify` does (refusing a package file or a broken
// one), finds Wine and the watcher, then runs the three starts in a fresh
// world, with the user's home read-only for Wine's processes but for the
// folders the run writes (home_shield.h); where this system cannot make
// that, the run goes on unshielded and `warn` gets home_not_shielded once.
// Throws PackError for what stops it before the starts (one line: Wine
// missing, no watcher, the exe refused); a misbehaving exe is a result with
// ok false. Leaves nothing but the cached prefix and, under --keep, the
// world; Wine's processes are ended when it returns.
TryResult TryExecutable(const TryOptions& options, const std::string& version,
                        const WarnFunction& warn);

}  // namespace korvanthelm::pack
