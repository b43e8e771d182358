// `korvanthelm-pack build`: its command line and the rules among its options,
// the operation, and what it prints.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvanthelm::pack::cli {

// `args` follow the word "build"; `version` is the packer's own, the only
// stub version it fills. Returns the exit status: 0 after the help page or an
// executable written and its digests printed, 2 after a refusal of the
// command line (nothing read or written). Throws PackError when the build
// fails (exit 1).
int RunBuild(std::span<const std::string_view> args, const std::string& version);

}  // namespace korvanthelm::pack::cli
