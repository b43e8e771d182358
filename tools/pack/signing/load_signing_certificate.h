// The key files checked before a signer runs: opened the way osslsigncode
// will open them, so that a wrong password, a key of another certificate or
// a file of the wrong kind is named here in one line.
#pragma once

#include "tools/pack/base/unique_openssl.h"
#include "tools/pack/signing/signing_options.h"

namespace korvanthelm::pack {

// The signing certificate of `options.cert`: a PEM certificate, whose PEM key
// `options.key` must open with the password and belong to it (a key in a
// token is not opened here), or a PKCS#12 file that must open with the
// password. Throws PackError naming the file and what is wrong with it.
UniqueX509 LoadSigningCertificate(const SigningOptions& options);

}  // namespace korvanthelm::pack
