// `korvanthelm-pack pack`: its command line, the operation, and what it prints.
#pragma once

#include <span>
#include <string_view>

namespace korvanthelm::pack::cli {

// `args` follow the word "pack". Returns the exit status: 0 after the help
// page or a package written and its digests printed, 2 after a refusal of
// the command line. Throws PackError when packing fails (exit 1).
int RunPack(std::span<const std::string_view> args);

}  // namespace korvanthelm::pack::cli
