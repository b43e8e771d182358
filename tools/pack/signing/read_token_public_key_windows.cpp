#include "tools/pack/signing/read_token_public_key.h"

namespace korvanthelm::pack {

// Signing with a key in a token is a Linux feature (Windows signs through
// --sign-command): nothing can be said here, as for a token that hides its key.
std::optional<TokenPublicKey> ReadTokenPublicKey(const std::string& /*module*/,
                                                 const TokenKeyQuery& /*query*/) {
    return std::nullopt;
}

std::optional<std::vector<std::string>> PresentTokenLabels(const std::string& /*module*/) {
    return std::nullopt;
}

}  // namespace korvanthelm::pack
