#include "tools/pack/signing/check_signer_result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

// Signing may rewrite the optional header's CheckSum field and fill in the
// certificate table's data directory entry; nothing else.
constexpr std::uint64_t kChecksumSize = 4;
constexpr std::uint64_t kDirectoryEntrySize = 8;

}  // namespace

bool IsUnsignedPlusSignature(std::span<const std::byte> unsigned_bytes,
                             std::span<const std::byte> signed_bytes) {
    if (signed_bytes.size() <= unsigned_bytes.size()) {
        return false;
    }
    const std::optional<CertificateTable> table = FindCertificateTable(unsigned_bytes);
    if (!table || !FileHas(unsigned_bytes, table->checksum, kChecksumSize)) {
        return false;
    }
    const std::uint64_t checksum = table->checksum;
    const std::uint64_t security = table->security_entry;
    for (std::size_t i = 0; i < unsigned_bytes.size(); ++i) {
        const bool may_differ = (i >= checksum && i < checksum + kChecksumSize) ||
                                (i >= security && i < security + kDirectoryEntrySize);
        if (!may_differ && unsigned_bytes[i] != signed_bytes[i]) {
            return false;
        }
    }
    return true;
}

AuthenticodeSignature CheckSignerResult(std::span<const std::byte> exe,
                                        std::span<const std::byte> signed_bytes,
                                        const std::string& who) {
    std::optional<AuthenticodeSignature> signature;
    try {
        signature = CheckAuthenticodeSignature(signed_bytes);
    } catch (const PackError& error) {
        throw PackError("what " + who + " made is not a signed executable: " + error.what());
    }
    if (!signature || !signature->Matches()) {
        throw PackError("what " + who + " made carries no signature that verifies");
    }
    if (!IsUnsignedPlusSignature(exe, signed_bytes)) {
        throw PackError("what " + who +
                        " made is not the executable plus a signature: other bytes changed");
    }
    return std::move(*signature);
}

}  // namespace korvanthelm::pack
