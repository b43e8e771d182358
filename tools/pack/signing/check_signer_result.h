// What a signer made, checked before `build` writes it: a signer of the
// release engineer's own may do anything to the file it is given.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "tools/pack/pe/check_authenticode_signature.h"

namespace korvanthelm::pack {

// True when `signed_bytes` is `unsigned_bytes` with a certificate table
// appended: equal up to the unsigned length apart from the checksum and the
// certificate table's directory entry. Throws PackError when
// `unsigned_bytes` has no PE headers.
bool IsUnsignedPlusSignature(std::span<const std::byte> unsigned_bytes,
                             std::span<const std::byte> signed_bytes);

// The Authenticode signature `signed_bytes` carries, when it verifies and
// `signed_bytes` is `exe` plus that signature (the caller shows it without
// reading the signature again); else throws PackError "what WHO made ..."
// saying which of the two it is not. `who` names the signer (SignerName), so
// that a release engineer with several signing commands knows which one.
AuthenticodeSignature CheckSignerResult(std::span<const std::byte> exe,
                                        std::span<const std::byte> signed_bytes,
                                        const std::string& who);

}  // namespace korvanthelm::pack
