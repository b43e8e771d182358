// The two kinds of signer `build` runs on a temporary copy of the executable:
// osslsigncode with key files or a token, or the release engineer's own
// command. Each leaves the signed copy at `signed_path` (removed first, so
// that a leftover is never taken for the signer's result).
#pragma once

#include <string>

#include "tools/pack/signing/signing_options.h"

namespace korvanthelm::pack {

// The signer in refusals: "osslsigncode", or the signing command "CMD" as
// given, so that every refusal of a release engineer's command names it.
std::string SignerName(const SigningOptions& options);

// Runs `options.command` as /bin/sh -c 'COMMAND "$1" "$2"' with the two paths
// (on Windows through cmd.exe, RunShellCommand), in the packer's environment
// as it is. Throws PackError when it fails (its
// exit code and reason) or writes no signed file.
void RunSigningCommand(const SigningOptions& options, const std::string& unsigned_path,
                       const std::string& signed_path);

// Checks the key files and the signing time (SOURCE_DATE_EPOCH, else now)
// first, then runs osslsigncode sign with SHA-256; the password or PIN goes to
// it through a pipe, and KORVANTHELM_SIGN_PASSWORD not into its environment.
// Throws PackError naming what was refused or what osslsigncode said. On
// Windows it throws kKeySigningIsLinuxOnly: there is no osslsigncode there.
void RunOsslsigncode(const SigningOptions& options, const std::string& unsigned_path,
                     const std::string& signed_path);

}  // namespace korvanthelm::pack
