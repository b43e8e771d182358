// What a signing needs, checked in milliseconds before `build` compresses a
// tree for a minute: osslsigncode would otherwise find a module that does
// not load, a missing PIN or a key of another certificate only at the end,
// and say so in its own words.
#pragma once

#include <string_view>

#include "tools/pack/signing/signing_options.h"

namespace korvanthelm::pack {

// The Windows packer's refusal of the signers that need OpenSSL: key files,
// PKCS#12 and tokens are signed with osslsigncode, which Windows lacks.
inline constexpr char kKeySigningIsLinuxOnly[] =
    "signing with a key file, a PKCS#12 file or a PKCS#11 token is a Linux feature: "
    "on Windows sign with --sign-command (signtool, or a cloud signer's client)";
// Likewise the timestamp: osslsigncode adds it on Linux; on Windows the
// signing command asks for its own.
inline constexpr char kTimestampIsLinuxOnly[] =
    "--timestamp-url adds the timestamp with osslsigncode, a Linux feature: on Windows "
    "let the --sign-command timestamp (signtool sign /tr URL /td sha256)";

// True for an RFC 3161 server address osslsigncode can ask: "http://" or
// "https://" (letters in any case), a host of letters, digits, '-' and '.'
// (or an IPv6 address in brackets), an optional port of digits, then
// nothing or a path starting with '/', '?' or '#'; no spaces or control
// characters anywhere.
bool IsTimestampUrl(std::string_view url);

// Returns when the signing of `options` can start: every timestamp URL is
// well-formed; for osslsigncode, the PKCS#11 module loads and offers
// C_GetFunctionList, OpenSSL's PKCS#11 engine loads (Pkcs11EnginePath),
// KORVANTHELM_SIGN_PASSWORD is set for a key in a token,
// and the key files open and belong to their certificate as
// LoadSigningCertificate checks them (an encrypted key without the password
// fails there), the signing time inside the certificate's validity; the
// token's public key for the URI, when the token shows it without the PIN
// (ReadTokenPublicKey), must be the certificate's. A signing command is the
// release engineer's own: only its timestamp URLs are checked.
// Throws PackError, one line naming the cause; loads nothing it keeps.
// On Windows every key-file, PKCS#12 or token signing is refused with
// kKeySigningIsLinuxOnly, and a --timestamp-url with kTimestampIsLinuxOnly.
void CheckSigningPrerequisites(const SigningOptions& options);

}  // namespace korvanthelm::pack
