// The folder holding the running packer, so that files installed beside it
// (the stub) are found wherever the installation was unpacked.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

// The absolute folder of this program's executable, links resolved, without a
// trailing slash (so empty for a program in the root). nullopt when the system
// does not say. Never throws PackError.
std::optional<std::string> ProgramFolder();

}  // namespace korvanthelm::pack
