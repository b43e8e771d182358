// Reads when a signed executable was timestamped: the time an RFC 3161
// time-stamping authority vouched that the signature already existed, which
// is what keeps the signature good on Windows after the signing certificate
// expires.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tools/pack/pe/certificate_table.h"

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
// this signer's signature value; it must carry exactly one certificate of
// the authority that signed it, and its signature must verify with that
// certificate; the certificate must be a time-stamping authority's (the
// timeStamping extended key usage alone, critical), with a key other than
// the code signer's, and valid at the time it states. The authority is not
// checked against any trust store. Throws PackError, one line: "malformed
// signature: ..." when the signature or the timestamp cannot be read,
// "refused: ..." naming the first check the timestamp fails. `build` asks
// the same of every reply before it keeps it.
std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image);

// The same for a signed image whose signature entry the caller has read
// (FindCertificateTable, ReadSignatureEntry), which is not read again here.
std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image,
                                                const SignatureEntry& entry);

}  // namespace korvanthelm::pack
