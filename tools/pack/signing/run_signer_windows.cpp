#include "tools/pack/base/pack_error.h"
#include "tools/pack/signing/check_signing_prerequisites.h"
#include "tools/pack/signing/run_signer.h"

namespace korvanthelm::pack {

// Refused before any work by CheckSigningPrerequisites; refused here too, so
// that no caller can reach a signer this system does not have.
void RunOsslsigncode(const SigningOptions& /*options*/, const std::string& /*unsigned_path*/,
                     const std::string& /*signed_path*/) {
    throw PackError(kKeySigningIsLinuxOnly);
}

}  // namespace korvanthelm::pack
