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

namespace korvanthelm::pack {

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

}  // namespace korvanthelm::pack
