// Reads when a signed executable was timestamped: the time an RFC 3161
// time-stamping authority vouched that the signature already existed, which
// is what keeps the signature good on Windows after the signing certificate
// expires.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace korvanthelm::pack {

// The genTime of the RFC 3161 timestamp on the Authenticode signature of the
// PE image `image`, in UTC as "YYYY-MM-DD HH:MM:SS UTC" (fractions of a
// second dropped); nullopt when the image is not signed, or its signature
// carries no RFC 3161 timestamp (the older Authenticode countersignature is
// not read).
//
// The timestamp sits in the signature's unsigned attributes, which neither
// the file digest nor the signer's signature cover, so it is only reported
// once it is shown to belong here: its message imprint must be the digest of
// this signer's signature value, and its own signature must verify with the
// authority's certificate it carries. The authority is not checked against
// any trust store. Throws PackError when the signature or the timestamp is
// malformed, or the timestamp fails either check.
std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image);

}  // namespace korvanthelm::pack
