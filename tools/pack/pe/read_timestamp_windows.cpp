#include "tools/pack/pe/read_timestamp.h"
#include "tools/pack/pe/verify_image_trust.h"

namespace korvanthelm::pack {

// The system checks the timestamp with the signature: a countersignature it
// accepted gives the time the signature is judged at. An unsigned image has
// none.
std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image) {
    return VerifyImageTrust(image).timestamp;
}

std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image,
                                                const SignatureEntry& /*entry*/) {
    return VerifyImageTrust(image).timestamp;
}

}  // namespace korvanthelm::pack
