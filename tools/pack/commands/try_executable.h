// `korvanthelm-pack try`: a finished KORVANTHELM.exe run three times under
// Wine as on a player's machine (README, "Try it"): the first start unpacks
// and runs the set-up program with --setup; the second hands over to the
// launcher the set-up program installed; a start with an update request
// unpacks again and runs it with --update. Then the set-up program's side of
// the contract is judged: what it left decides whether the second start can
// hand over.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/commands/check_setup_contract.h"
#include "tools/pack/commands/run_one_start.h"
#include "tools/pack/pe/digest_slot_text.h"

namespace korvanthelm::pack {

struct TryOptions {
    std::string exe;
    std::chrono::seconds timeout{60};  // per start
    std::string keep;                  // empty: the world is removed afterwards
};

struct StartVerdict {
    std::string name;  // "first start", "second start", "update start"
    bool ran = false;  // false: skipped, an earlier start did not end in time
    StartOutcome outcome;
    // The unpacked set-up program the bootstrapper started, and the
    // arguments after its path ("--setup").
    std::optional<StartedProcess> setup;
    std::string setup_arguments;
    std::optional<StartedProcess> launcher;  // the installed launcher handed over to
    bool update_request_left = false;        // update start: still there afterwards
    std::vector<std::string> faults;         // what did not behave, in plain words
};

struct TryResult {
    std::string exe;
    std::string wine_version;
    std::chrono::seconds timeout{0};
    ExecutableDigests digests;
    std::vector<StartVerdict> starts;
    std::optional<SetupContract> contract;  // after the first start, when it ran
    // "handed over", "unpacked again, because ...", or why neither.
    std::string second_road;
    std::optional<std::string> kept;  // the world's folder under --keep
    bool ok = false;                  // every start behaved and the contract holds
};

// Checks the exe as `verify` does (refusing a package file or a broken
// one), finds Wine and the watcher, then runs the three starts in a fresh
// world. Throws PackError for what stops it before the starts (one line:
// Wine missing, no watcher, the exe refused); a misbehaving exe is a result
// with ok false. Leaves nothing but the cached prefix and, under --keep, the
// world; Wine's processes are ended when it returns.
TryResult TryExecutable(const TryOptions& options, const std::string& version);

}  // namespace korvanthelm::pack
