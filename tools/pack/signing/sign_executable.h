// Authenticode signing of a finished KORVANTHELM.exe for `build`: with key
// files (PEM certificate and key, or PKCS#12), with a key inside a PKCS#11
// token or HSM, both through osslsigncode, or with any other signer through a
// command of the release engineer's own. The password or PIN is read from
// KORVANTHELM_SIGN_PASSWORD only and handed to osslsigncode through a pipe,
// never on a command line or in a file.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/pe/check_authenticode_signature.h"
#include "tools/pack/signing/signing_options.h"

namespace korvanthelm::pack {

struct SignedExecutable {
    std::vector<std::byte> bytes;
    // Its signature as checked here: the caller shows it without reading it
    // again.
    AuthenticodeSignature signature;
};

// The signed bytes of the executable `exe`, made in temporary files in
// `folder` (removed again). Key files are opened first (a wrong password
// fails there), the signing time (SOURCE_DATE_EPOCH, else now) must lie
// inside the certificate's validity; each timestamp server is asked up to
// three times before the next one is tried. The result must be `exe` plus a
// signature that verifies, nothing else changed. Throws PackError, one line
// naming what failed: the key or token refused the password or PIN, the
// dates, the signing program or command and what it said, no timestamp
// server answering, a result that does not verify.
SignedExecutable SignExecutable(std::span<const std::byte> exe, const SigningOptions& options,
                                const std::string& folder,
                                const std::function<void(const std::string&)>& note);

}  // namespace korvanthelm::pack
