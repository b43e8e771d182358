// What a run changed in the Wine prefix's registry, read from the files
// wineserver saves it in (system.reg, user.reg, userdef.reg) before and
// after: a set-up program keeps to its folders and leaves the registry of
// the machine it runs on alone.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

// Each key of one saved registry file ("Software\Wine\Fonts", its name as
// Windows shows it) and its value lines, in order of name. Wine's notes
// (the key's time, its class) are left out: Wine rewrites them when it
// rewrites a key unchanged.
using RegistryKeys = std::map<std::string, std::vector<std::string>>;

// Reads the text of a saved registry file; lines it does not know are
// skipped, and so are the keys where Wine keeps what it finds of the
// machine (devices, display adapters, network cards), which it rewrites at
// every start. Never throws PackError.
RegistryKeys ReadRegistryFile(std::string_view text);

// The keys added, and those whose values were added, changed or removed,
// between `before` and `after`, in order. A key without values that went
// away is Wine's own tidying (it drops the network card list it makes anew
// at each start), not a change.
std::vector<std::string> ChangedRegistryKeys(const RegistryKeys& before, const RegistryKeys& after);

}  // namespace korvanthelm::pack
