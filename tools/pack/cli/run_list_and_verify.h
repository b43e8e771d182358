// `korvanthelm-pack list` and `verify`: one FILE each, the package judged as
// the bootstrapper would judge it, and what they print.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvanthelm::pack::cli {

// `args` follow the command word. Return the exit status: 0 after the help
// page or a package that passes, 2 unless exactly one FILE (not starting with
// '-') is given, with no options but --json and --strict. Throw PackError
// when the file fails a check, or under --strict has a warning (exit 1).
int RunList(std::span<const std::string_view> args);
// verify also takes --stub STUB: an executable of `version` is proven against
// that stub (by default the one installed beside the packer).
int RunVerify(std::span<const std::string_view> args, const std::string& version);

}  // namespace korvanthelm::pack::cli
