#include "tools/pack/base/pack_error.h"
#include "tools/pack/signing/check_signing_prerequisites.h"

namespace korvanthelm::pack {

void CheckSigningPrerequisites(const SigningOptions& options) {
    for (const std::string& url : options.timestamp_urls) {
        if (!IsTimestampUrl(url)) {
            throw PackError("the timestamp URL \"" + url +
                            "\" is not an http:// or https:// address with a host");
        }
    }
    if (!options.cert.empty()) {
        throw PackError(kKeySigningIsLinuxOnly);
    }
    if (!options.timestamp_urls.empty()) {
        throw PackError(kTimestampIsLinuxOnly);
    }
}

}  // namespace korvanthelm::pack
