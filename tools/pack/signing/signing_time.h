// The time a signature claims to be made at, and its check against the
// signing certificate's validity, before a signer runs.
#pragma once

#include <openssl/x509.h>

#include <ctime>
#include <optional>

namespace korvanthelm::pack {

// SOURCE_DATE_EPOCH when set (the build's reproducible signing time); nullopt
// when unset or empty (the signer uses now). Throws PackError
// "SOURCE_DATE_EPOCH is not a number of seconds: "VALUE"".
std::optional<std::time_t> SourceDateEpoch();

// Returns when `when` lies inside `certificate`'s validity; else throws
// PackError naming the signing time (marked as SOURCE_DATE_EPOCH when
// `from_epoch`) and the validity's two ends.
void RequireSigningTimeInValidity(const X509* certificate, std::time_t when, bool from_epoch);

}  // namespace korvanthelm::pack
