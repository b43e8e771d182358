// Where the stub is installed beside the packer: <prefix>/bin/korvanthelm-pack
// and <prefix>/share/korvanthelm/korvanthelm-stub.exe, wherever the prefix is
// (an installed package, or a copy unpacked anywhere). `build` fills it and
// `verify` proves executables against it.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

// The stub's path beside this program, whether or not a file is there;
// nullopt when the system does not say where this program is.
std::optional<std::string> InstalledStubPath();

}  // namespace korvanthelm::pack
