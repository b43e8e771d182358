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

// Called when `signer` (SignerName, or "osslsigncode" for the timestamp step)
// failed or wrote nothing at `written_path`, a copy of `input_path` plus what
// it adds, beside it: when the disk there has no room for a file the size of
// `input_path` plus one byte, the signer cannot have written its copy, so
// this throws PackError "SIGNER could not write the WHAT "WRITTEN_PATH": "
// and the system's reason (No space left on device, Disk quota exceeded).
// Returns otherwise (also when the input cannot be read), for the signer's own
// reason to be given. Signers say no such thing: osslsigncode blames the key
// in ASN.1 terms.
void RequireRoomForSignersCopy(const std::string& signer, const std::string& what,
                               const std::string& input_path, const std::string& written_path);

}  // namespace korvanthelm::pack
