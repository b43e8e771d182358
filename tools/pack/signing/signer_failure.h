// What a signer that failed said, in one line for the refusal that names it.
#pragma once

#include <string>

namespace korvanthelm::pack {

// The last line of a signer's output that says what went wrong (at most 200
// characters; osslsigncode's "Failed" and engine chatter skipped), escaped as
// PrintablePath does, or "no reason given".
std::string SignerReason(const std::string& output);

// Why osslsigncode's timestamp attempt failed, from its output: the server
// refused (its PKIStatus), the reply is no timestamp reply, the connection
// was refused, or else SignerReason. (osslsigncode writes its progress on
// standard output and its errors on standard error, so its last line is
// often "Connecting to URL", not the cause.)
std::string TimestampFailureReason(const std::string& output);

// The refusal for a failed osslsigncode run: the token refused the PIN, the
// PIN is locked, or "osslsigncode could not sign: " and its reason.
std::string OsslsigncodeFailure(const std::string& output);

}  // namespace korvanthelm::pack
