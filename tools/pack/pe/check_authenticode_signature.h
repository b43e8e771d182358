// Reads the Authenticode signature of a built executable and checks that it
// still covers the file: the digest the signer signed must equal the digest
// of the file as it is now, and the signer's signature over that digest must
// verify with the certificate the signature carries. The certificate itself
// is not checked against any trust store: whether a user's Windows trusts
// the signer is decided there, not here.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tools/pack/pe/certificate_table.h"

namespace korvanthelm::pack {

struct AuthenticodeSignature {
    std::string signer;            // subject of the signing certificate (RFC 2253 form)
    std::string digest_algorithm;  // of the file digest, as OpenSSL names it ("SHA256")
    std::string signed_digest;     // lowercase hex: the digest the signature holds
    std::string file_digest;       // lowercase hex: the same digest of the file as it is
    // The signer's signature over signed_digest verifies, and so does the
    // signer's certificate itself (certificate_intact).
    bool signature_valid = false;
    // The signing certificate's own signature verifies with its issuer's key
    // from the signature's certificates, or with its own key when it is
    // self-signed: a subject edited after issue keeps the key that verifies
    // the file, so only this shows the name is not the one issued. The
    // signer's name is shown only when this holds.
    bool certificate_intact = false;
    // Whether the certificate chains to a root the system trusts, and if not
    // the system's reason: only the Windows packer can ask (WinVerifyTrust);
    // unset on Linux, where no trust store is consulted.
    std::optional<bool> chains_to_trusted_root;
    std::string trust_problem;

    // True when the file is exactly what was signed.
    bool Matches() const { return signature_valid && signed_digest == file_digest; }
};

// The signature of the PE image `image` (the file as stored), checked;
// nullopt when the image has no certificate table (it was never signed).
// The file digest is the Authenticode one: every byte of the file except the
// optional header's CheckSum, the certificate table's directory entry and the
// certificate table itself. Throws PackError when the image or its
// certificate table is malformed, or the signature is not an Authenticode
// signature this function can read. On Windows the system judges the
// signature (VerifyImageTrust), and also says whether the certificate is
// trusted; the file digest is then the system's when it accepts the file.
std::optional<AuthenticodeSignature> CheckAuthenticodeSignature(std::span<const std::byte> image);

// The same for a signed image whose signature entry the caller has read
// (FindCertificateTable, ReadSignatureEntry), which is not read again here.
AuthenticodeSignature CheckAuthenticodeSignature(std::span<const std::byte> image,
                                                 const SignatureEntry& entry);

}  // namespace korvanthelm::pack
