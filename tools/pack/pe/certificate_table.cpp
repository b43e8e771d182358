#include "tools/pack/pe/certificate_table.h"

#include <string>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint64_t kSecurityEntrySize = 8;
constexpr std::uint32_t kWinCertHeaderSize = 8;  // dwLength, wRevision, wCertificateType
constexpr std::uint32_t kWinCertRevision2 = 0x0200;
constexpr std::uint32_t kWinCertTypePkcsSignedData = 0x0002;

[[noreturn]] void Malformed(const char* what) {
    throw PackError(std::string("malformed signature: ") + what);
}

}  // namespace

std::optional<CertificateTable> FindCertificateTable(std::span<const std::byte> file,
                                                     const PeHeaders& headers) {
    // The digest runs over the optional header up to the entry; both must be
    // in the file before any of it is hashed.
    if (!FileHas(file, headers.optional, headers.optional_size)) {
        throw PackError("malformed executable: the optional header lies outside the file");
    }
    const std::optional<DataDirectory> entry =
        ReadDataDirectory(file, headers, kSecurityDirectoryIndex, "certificate table entry");
    if (!entry) {
        return std::nullopt;  // no room for a certificate table: never signed
    }
    const CertificateTable table{headers.CheckSumOffset(), entry->entry, entry->address,
                                 entry->size};
    if (!table.IsSigned()) {
        return table;
    }
    if (!FileHas(file, table.table_offset, table.table_size)) {
        Malformed("the certificate table lies outside the file");
    }
    // The digest skips the header fields first and the table after them; a
    // table over the headers would make the two overlap.
    if (table.table_offset < table.security_entry + kSecurityEntrySize) {
        Malformed("the certificate table overlaps the headers");
    }
    return table;
}

std::optional<CertificateTable> FindCertificateTable(std::span<const std::byte> file) {
    return FindCertificateTable(file, ReadPeHeaders(file));
}

SignatureEntry ReadSignatureEntry(std::span<const std::byte> file, const CertificateTable& table) {
    // The header is read where the file has it, also past a table shorter
    // than a header: the length check then refuses the entry.
    const std::uint64_t offset = table.table_offset;
    const std::uint32_t length = ReadLe(file, offset, 4, "certificate table");
    const std::uint32_t revision = ReadLe(file, offset + 4, 2, "certificate table");
    const std::uint32_t type = ReadLe(file, offset + 6, 2, "certificate table");
    if (length <= kWinCertHeaderSize || length > table.table_size) {
        Malformed("the first certificate entry's length does not fit the certificate table");
    }
    if (revision != kWinCertRevision2 || type != kWinCertTypePkcsSignedData) {
        Malformed("the first certificate entry is not a PKCS #7 signature");
    }
    // FindCertificateTable found the table whole in the file, and the entry
    // lies inside it.
    return {table, file.subspan(offset + kWinCertHeaderSize, length - kWinCertHeaderSize),
            file.subspan(offset + length, table.table_size - length)};
}

}  // namespace korvanthelm::pack
