// The package table: what the package envelope's LZMS stream decompresses to.
// All integers little-endian.
//
//   offset 0  4 bytes  magic "KTPK"
//          4  u16      version, 49 (the bytes 31 00)
//          6  u32      entry_count, 1 to 10000
//         10  entry_count records back to back, nothing after them:
//               u16 path_length, path_length bytes of UTF-8 path ('/' separated),
//               u64 data_size, data_size bytes of file content.
//
// Every record is a regular file; folders exist only as parents of files.
// The envelope around the compressed table is in package_envelope.h.
//
// Portable: no <windows.h>. Every judge of a table walks its entries with
// WalkPackageEntries (walk_package_entries.h), which reads the records with
// PackageRecordWalker; the packer writes tables with PackageTableBuilder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvanthelm::format {

inline constexpr std::array<std::byte, 4> kPackageTableMagic = {std::byte{'K'}, std::byte{'T'},
                                                                std::byte{'P'}, std::byte{'K'}};
inline constexpr std::uint16_t kPackageTableVersion = 49;
inline constexpr std::size_t kPackageTableHeaderSize = 10;
inline constexpr std::uint32_t kMinPackageEntryCount = 1;
inline constexpr std::uint32_t kMaxPackageEntryCount = 10000;
// The bootstrapper holds the whole table in memory and writes each entry with
// one 32-bit WriteFile call; 2 GiB keeps every data_size below 2^31.
inline constexpr std::uint64_t kMaxPackageTableSize = 0x80000000;
// path_length is a u16.
inline constexpr std::size_t kMaxPackagePathBytes = 0xFFFF;
// path_length + data_size fields of one record.
inline constexpr std::size_t kPackageRecordOverhead = 10;

inline constexpr std::array<std::byte, 8> kPackageEnvelopeMagic = {
    std::byte{'K'}, std::byte{'T'}, std::byte{'S'}, std::byte{'E'},
    std::byte{'T'}, std::byte{'U'}, std::byte{'P'}, std::byte{'1'}};
// magic + u64 unpacked_size; the Compression API buffer follows.
inline constexpr std::size_t kPackageEnvelopeHeaderSize = 16;

// The entry_count of a table whose header is sound: at least 10 bytes, magic
// "KTPK", version bytes 31 00, entry_count - 1 (as u32) at most 9999.
// nullopt otherwise. Looks at the header only, not at the records.
std::optional<std::uint32_t> CheckPackageTableHeader(std::span<const std::byte> table);

struct PackageRecord {
    std::span<const std::byte> path;  // path_length bytes of UTF-8, not yet validated
    std::span<const std::byte> data;  // data_size bytes
};

// Walks the records of a table, starting right after the header. Every length
// is tested against what is left before it is used, in unsigned 64-bit
// arithmetic where no subtraction can go below zero, so the walker never reads
// outside `table` whatever its bytes say. Borrows `table`; it must outlive the
// walker and the spans handed out.
class PackageRecordWalker {
  public:
    explicit PackageRecordWalker(std::span<const std::byte> table);

    // true: `out` is the next record and the walker has moved past it.
    // false: the record at offset() is cut short (fewer than 2 bytes left for
    // path_length, path longer than what is left, fewer than 8 bytes left for
    // data_size, data longer than what is left) or the table is shorter than
    // its header; nothing is advanced and `out` is unchanged. At the end of
    // the table this is false too (nothing left for path_length).
    bool Next(PackageRecord& out);

    // The offset has reached the table's size: no bytes after the last record.
    bool AtEnd() const { return offset_ == table_.size(); }

    std::uint64_t offset() const { return offset_; }

  private:
    std::span<const std::byte> table_;
    std::uint64_t offset_;
};

// Size of one record: 10 + path bytes + data bytes.
constexpr std::uint64_t PackageRecordSize(std::size_t path_size, std::uint64_t data_size) {
    return kPackageRecordOverhead + path_size + data_size;
}

// Builds a table in one buffer, record by record, so a packer can read file
// contents straight into their place instead of copying them. The caller
// decides the entry count up front (it goes into the header) and checks the
// format's limits first; the builder enforces them again and throws
// std::length_error, before changing anything, when one is broken (an entry
// count outside 1..10000, a path over 65535 bytes, more records than
// announced, a table over 0x80000000 bytes).
class PackageTableBuilder {
  public:
    // expected_size: the final table size when known, to allocate once.
    explicit PackageTableBuilder(std::uint32_t entry_count, std::uint64_t expected_size = 0);

    // Appends the record's header and path, and returns the data_size bytes
    // of its data area (zero-filled) for the caller to fill. The span is
    // valid until the next AddRecord or Finish (the buffer may move).
    std::span<std::byte> AddRecord(std::span<const std::byte> path, std::uint64_t data_size);

    // The finished table. Throws std::length_error when fewer records than
    // announced were added.
    std::vector<std::byte> Finish() &&;

  private:
    std::vector<std::byte> table_;
    std::uint32_t entry_count_;
    std::uint32_t added_ = 0;
};

}  // namespace korvanthelm::format
