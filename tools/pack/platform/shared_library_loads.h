// Whether a shared library (a token's PKCS#11 module) loads in this process
// and offers an entry point, asked before a signer that needs it is started
// a minute later.
#pragma once

#include <string>

namespace korvanthelm::pack {

// Empty when `path` loads (with all its dependencies resolved now, as a
// signer would load it) and exports `symbol`; else the loader's own reason.
// Runs the library's initialisers, calls nothing of it, and unloads it
// again. Never throws.
std::string SharedLibraryLoadFailure(const std::string& path, const char* symbol);

}  // namespace korvanthelm::pack
