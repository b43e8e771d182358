// The system's own judgement of an executable's Authenticode signature
// (WinVerifyTrust, as Explorer and SmartScreen ask it), which unlike the
// Linux packer's check also says whether the signing certificate chains to a
// root this Windows trusts. Windows only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace korvanthelm::pack {

enum class TrustVerdict {
    kTrusted,    // the file is what was signed, and the certificate chains to a trusted root
    kUntrusted,  // the file is what was signed, but the certificate is not trusted (reason)
    kChanged,    // the file's digest is not the one the signature holds
    kBroken,     // the signature cannot be read or does not verify (reason)
};

struct ImageTrust {
    TrustVerdict verdict = TrustVerdict::kBroken;
    std::string reason;            // the system's words, for kUntrusted and kBroken
    std::string signer;            // the signing certificate's subject, when read
    std::string digest_algorithm;  // of the file digest ("SHA256"), when read
    std::string signed_digest;     // lowercase hex: the digest the signature holds
    // When the signature carries a countersignature (an RFC 3161 or older
    // timestamp) that the system accepted: its time, "YYYY-MM-DD HH:MM:SS UTC".
    std::optional<std::string> timestamp;
};

// Judges the signature of the PE image `image` (the file as stored): the
// bytes go to a temporary file that is deleted when closed, which
// WinVerifyTrust reads with no revocation check (nothing is fetched from the
// network); an image with no signature is kBroken, with no timestamp.
// wintrust.dll and crypt32.dll are loaded from System32. Throws
// PackError when they or the temporary file cannot be had.
ImageTrust VerifyImageTrust(std::span<const std::byte> image);

}  // namespace korvanthelm::pack
