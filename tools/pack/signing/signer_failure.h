// What a signer that failed said, in one line for the refusal that names it.
#pragma once

#include <string>

namespace korvanthelm::pack {

// The last line of a signer's output that says what went wrong (at most 200
// characters; osslsigncode's "Failed" and engine chatter skipped), or "no
// reason given".
std::string SignerReason(const std::string& output);

// The refusal for a failed osslsigncode run: the token refused the PIN, the
// PIN is locked, or "osslsigncode could not sign: " and its reason.
std::string OsslsigncodeFailure(const std::string& output);

}  // namespace korvanthelm::pack
