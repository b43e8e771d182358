// The key a "pkcs11:" URI (RFC 7512) names, as far as the packer looks at
// it before signing: the token's label, the key's label and id.
#pragma once

#include <optional>
#include <string_view>

#include "tools/pack/signing/read_token_public_key.h"

namespace korvanthelm::pack {

// The token=, object= and id= attributes of the URI's path, percent-decoded;
// other attributes and the query are left to the signer. nullopt when the
// text is not "pkcs11:" with well-formed %XX escapes, or names neither an
// object nor an id (then no single key can be looked for).
std::optional<TokenKeyQuery> TokenKeyQueryOf(std::string_view uri);

}  // namespace korvanthelm::pack
