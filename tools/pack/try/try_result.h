// What `try` found: each start's verdict and the whole run's, filled by the
// starts and the judge (judge_start.h), shown by the command line as text or
// JSON.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/try/check_setup_contract.h"
#include "tools/pack/try/run_one_start.h"
#include "tools/pack/try/try_starts.h"

namespace korvanthelm::pack {

struct StartVerdict {
    TryStart start;    // which of kTryStarts
    bool ran = false;  // false: skipped, an earlier start did not end in time
    StartOutcome outcome;
    // The unpacked set-up program the bootstrapper started, and the
    // arguments after its path ("--setup").
    std::optional<StartedProcess> setup;
    std::string setup_arguments;
    std::optional<StartedProcess> launcher;  // the installed launcher handed over to
    bool update_request_left = false;        // requested before, still there afterwards
    // Command lines of what was still running when the start was over (the
    // launcher handed over to on the second start aside): ended by try.
    std::vector<std::string> outlived;
    std::vector<std::string> faults;  // what did not behave, in plain words
};

struct TryResult {
    std::string exe;
    std::string wine_version;
    std::chrono::seconds timeout{0};
    ExecutableDigests digests;
    std::vector<StartVerdict> starts;
    std::optional<SetupContract> contract;  // after the first start, when it ran
    // "handed over", "unpacked again, because ...", "neither handed over nor
    // unpacked", "did not end"; empty when the second start did not run.
    std::string second_road;
    // What the run wrote outside its world, in order: C:\ paths in the
    // prefix, registry keys, files in Wine's home (Linux paths).
    std::vector<std::string> outside_world;
    std::optional<std::string> kept;  // the world's folder under --keep
    bool ok = false;                  // every start behaved and the contract holds
};

}  // namespace korvanthelm::pack
