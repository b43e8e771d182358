// A warning of a command: not a refusal, but something that may fail on some
// players' machines or that the release engineer should see. Each has a kind
// a script can act on (the `--json` documents carry it) and a path when one
// file or entry is at fault.
#pragma once

#include <functional>
#include <string>

namespace korvanthelm::pack {

struct PackWarning {
    // lower_snake_case, one of the kinds below; part of the `--json` contract.
    std::string kind;
    std::string path;  // the file or entry path concerned; empty when none
    std::string text;  // the line shown to people, without the "warning: " prefix
};

// Kinds of warning, as the `--json` documents name them.
inline constexpr char kEmptyFolderDropped[] = "empty_folder_dropped";
inline constexpr char kJobsLoweredForMemory[] = "jobs_lowered_for_memory";
inline constexpr char kLongPath[] = "long_path";
inline constexpr char kUnsignedPrograms[] = "unsigned_programs";
inline constexpr char kNotVerified[] = "not_verified";
inline constexpr char kTimestampRetry[] = "timestamp_retry";
inline constexpr char kLauncherDigestNotInPackage[] = "launcher_digest_not_in_package";
inline constexpr char kLauncherDigestsSwapped[] = "launcher_digests_swapped";
inline constexpr char kHomeNotShielded[] = "home_not_shielded";

// Receives each warning as it arises; may throw (--strict turns warnings into
// refusals), which ends the command before anything is written.
using WarnFunction = std::function<void(const PackWarning&)>;

}  // namespace korvanthelm::pack
