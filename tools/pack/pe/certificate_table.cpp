#include "tools/pack/pe/certificate_table.h"

#include <string>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint64_t kSecurityEntrySize = 8;

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

}  // namespace korvanthelm::pack
