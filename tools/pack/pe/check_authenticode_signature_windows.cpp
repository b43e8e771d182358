#include <cstdint>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/check_authenticode_signature.h"
#include "tools/pack/pe/verify_image_trust.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

// The Authenticode SHA-256 of the file as it is, for the refusal of a file
// changed after signing: every byte but the CheckSum, the directory entry
// and the table.
std::string FileDigest(std::span<const std::byte> file, const CertificateTable& table) {
    std::vector<std::byte> covered(file.begin(), file.begin() + table.checksum);
    covered.insert(covered.end(), file.begin() + table.checksum + 4,
                   file.begin() + table.security_entry);
    covered.insert(covered.end(), file.begin() + table.security_entry + 8,
                   file.begin() + table.table_offset);
    covered.insert(covered.end(), file.begin() + table.table_offset + table.table_size, file.end());
    return Sha256Text(covered);
}

// The system's judgement of the signature of `image`, signed with `table`.
AuthenticodeSignature JudgeSignature(std::span<const std::byte> image,
                                     const CertificateTable& table) {
    const ImageTrust trust = VerifyImageTrust(image);
    if (trust.signed_digest.empty() && trust.verdict != TrustVerdict::kBroken) {
        throw PackError("malformed signature: the system read no file digest from it");
    }
    AuthenticodeSignature signature;
    signature.signer = trust.signer;
    signature.digest_algorithm = trust.digest_algorithm;
    signature.signed_digest = trust.signed_digest;
    signature.file_digest = trust.signed_digest;
    signature.signature_valid = trust.verdict != TrustVerdict::kBroken;
    // The system verifies the signing certificate with the rest of the chain.
    signature.certificate_intact = signature.signature_valid;
    if (trust.verdict == TrustVerdict::kChanged) {
        signature.file_digest =
            trust.digest_algorithm == "SHA256" ? FileDigest(image, table) : "not the signed one";
    }
    if (signature.signature_valid) {
        signature.chains_to_trusted_root = trust.verdict == TrustVerdict::kTrusted;
        signature.trust_problem = trust.reason;
    }
    return signature;
}

}  // namespace

std::optional<AuthenticodeSignature> CheckAuthenticodeSignature(std::span<const std::byte> image) {
    const std::optional<CertificateTable> table = FindCertificateTable(image);
    if (!table || !table->IsSigned()) {
        return std::nullopt;
    }
    return JudgeSignature(image, *table);
}

// The system reads the entry itself; the caller has refused a damaged
// header in the words the Linux packer uses.
AuthenticodeSignature CheckAuthenticodeSignature(std::span<const std::byte> image,
                                                 const SignatureEntry& entry) {
    return JudgeSignature(image, entry.table);
}

}  // namespace korvanthelm::pack
