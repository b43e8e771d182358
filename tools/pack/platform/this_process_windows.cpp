// this_process.h on Windows.
#include "tools/pack/platform/this_process.h"

namespace korvanthelm::pack {

// Only token signing asks, and that is refused on Windows before anything
// is loaded: the answer says why, should a caller ever ask.
std::string SharedLibraryLoadFailure(const std::string& /*path*/, const char* /*symbol*/) {
    return "PKCS#11 modules are loaded on Linux only";
}

}  // namespace korvanthelm::pack
