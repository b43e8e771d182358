// The packer's one reader of where an Authenticode signature lies: data
// directory 4 of the optional header holds the certificate table's *file
// offset* (not an RVA) and size. The signature's file digest leaves out the
// optional header's CheckSum, this 8-byte entry and the table itself, and the
// signer rewrites exactly those, so every caller that hashes, strips, proves
// or compares a signed file needs the same four places. Linux (OpenSSL) and
// Windows (the system's trust check) refuse a damaged table with the same
// words because both start here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {

struct CertificateTable {
    std::uint64_t checksum;        // file offset of the optional header's CheckSum (4 bytes)
    std::uint64_t security_entry;  // file offset of the table's directory entry (8 bytes)
    std::uint64_t table_offset;    // the table; 0 with table_size 0 when never signed
    std::uint64_t table_size;

    // True when the entry points at a table: the image was signed. An entry
    // of zeros is how the linker leaves an image no one signed.
    bool IsSigned() const { return table_offset != 0 || table_size != 0; }
};

// Where `file`'s (with `headers`) certificate table, its entry and the
// CheckSum are; nullopt when the optional header has no room for the entry
// (such an image cannot be signed). A table the entry points at lies whole in
// the file after the entry. Throws PackError:
// "malformed executable: the optional header lies outside the file",
// "malformed executable: certificate table entry lies outside the file",
// "malformed signature: the certificate table lies outside the file",
// "malformed signature: the certificate table overlaps the headers".
std::optional<CertificateTable> FindCertificateTable(std::span<const std::byte> file,
                                                     const PeHeaders& headers);

// The same, reading the headers first (and throwing ReadPeHeaders' refusals).
std::optional<CertificateTable> FindCertificateTable(std::span<const std::byte> file);

// The first entry of a signed file's certificate table, the signature: a
// WIN_CERTIFICATE header (dwLength, wRevision, wCertificateType; 8 bytes),
// then the DER PKCS #7 SignedData that dwLength bounds. The signer pads the
// table after it. Spans view the file.
struct SignatureEntry {
    CertificateTable table;              // where the entry was found
    std::span<const std::byte> pkcs7;    // the dwLength - 8 bytes after the header
    std::span<const std::byte> padding;  // the rest of the table after the entry
};

// The first entry of `file`'s certificate table `table` (signed, as
// FindCertificateTable found it), its header read here for every reader of
// the signature. Throws PackError, in this order:
// "malformed executable: certificate table lies outside the file" (the
// header runs past the file's end),
// "malformed signature: the first certificate entry's length does not fit the certificate table",
// "malformed signature: the first certificate entry is not a PKCS #7 signature".
SignatureEntry ReadSignatureEntry(std::span<const std::byte> file, const CertificateTable& table);

}  // namespace korvanthelm::pack
