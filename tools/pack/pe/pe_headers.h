// The packer's one reader of PE images as stored on disk: the DOS header, the
// PE signature, the COFF header, the optional header and its data
// directories, and the section table, each read with its offset checked
// against the file. Finding the package resource, checking the Authenticode
// signature, filling a stub and telling programs in a package apart all start
// from here, so a header field is never read two ways.
//
// The parts are read in steps (headers, then a directory, then the section
// table) so that each caller refuses a damaged image in its own order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvanthelm::pack {

// Data directory indices (IMAGE_DIRECTORY_ENTRY_*).
inline constexpr std::size_t kResourceDirectoryIndex = 2;
inline constexpr std::size_t kSecurityDirectoryIndex = 4;  // holds a file offset, not an RVA
inline constexpr std::size_t kRelocationDirectoryIndex = 5;

inline constexpr std::uint32_t kMachineAmd64 = 0x8664;
inline constexpr std::uint32_t kPe32Magic = 0x10B;
inline constexpr std::uint32_t kPe32PlusMagic = 0x20B;

// Optional header fields at the same offsets in PE32 and PE32+, from its start.
inline constexpr std::uint64_t kSizeOfInitializedDataField = 8;
inline constexpr std::uint64_t kSectionAlignmentField = 32;
inline constexpr std::uint64_t kFileAlignmentField = 36;
inline constexpr std::uint64_t kSizeOfImageField = 56;
inline constexpr std::uint64_t kCheckSumField = 64;

// Section header fields, from the header's start.
inline constexpr std::uint64_t kSectionHeaderSize = 40;
inline constexpr std::uint64_t kSectionVirtualSizeField = 8;
inline constexpr std::uint64_t kSectionVirtualAddressField = 12;
inline constexpr std::uint64_t kSectionRawSizeField = 16;
inline constexpr std::uint64_t kSectionRawOffsetField = 20;

// `value` rounded up to a multiple of `alignment` (not zero): where the next
// section, or the next piece of one, may start.
constexpr std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// True when [offset, offset + size) lies inside `file`.
bool FileHas(std::span<const std::byte> file, std::uint64_t offset, std::uint64_t size);

// The little-endian value of `size` (1..4) bytes at `offset`. Throws PackError
// "malformed executable: <what> lies outside the file" when they do not fit.
std::uint32_t ReadLe(std::span<const std::byte> file, std::uint64_t offset, std::size_t size,
                     const char* what);

// Writes the low `size` (1..4) bytes of `value` at `offset`, lowest first.
// Throws PackError when they do not fit: the writer asked for a field outside
// the image it built, which is a fault of the packer, not of its input.
void WriteLe(std::span<std::byte> file, std::uint64_t offset, std::uint64_t value,
             std::size_t size);

// True when `file` starts like a PE image ("MZ"); a package starts "KTSETUP1".
bool LooksLikePeImage(std::span<const std::byte> file);

// True when `file` has a whole DOS header whose e_lfanew leads to the PE
// signature: a Windows program, whatever its name. Never throws.
bool HasPeSignature(std::span<const std::byte> file);

struct PeHeaders {
    std::uint64_t signature;  // file offset of "PE\0\0"; the COFF header follows it
    std::uint32_t machine;    // COFF Machine
    std::uint32_t section_count;
    std::uint32_t symbol_table;   // COFF PointerToSymbolTable; 0 in a stripped image
    std::uint64_t optional;       // file offset of the optional header
    std::uint32_t optional_size;  // its size as the COFF header gives it
    std::uint32_t magic;          // kPe32Magic or kPe32PlusMagic
    std::uint32_t section_alignment;
    std::uint32_t file_alignment;
    std::uint64_t directories;      // offset of the data directories within it
    std::uint32_t directory_count;  // NumberOfRvaAndSizes

    // The file offset of data directory `index`'s 8-byte entry; nullopt when
    // the header holds no such entry.
    std::optional<std::uint64_t> DirectoryEntry(std::size_t index) const;

    // The file offset of the optional header's CheckSum.
    std::uint64_t CheckSumOffset() const { return optional + kCheckSumField; }

    // The file offset of the section table, which follows the optional header.
    std::uint64_t SectionTable() const { return optional + optional_size; }
};

// The DOS header, PE signature, COFF header and the optional header's kind,
// alignments and directory count. Throws PackError: "not an executable: no "MZ" header", or
// "malformed executable: ..." naming what is missing or of an unknown kind.
PeHeaders ReadPeHeaders(std::span<const std::byte> file);

// One data directory entry: where it is in the file and what it holds.
struct DataDirectory {
    std::uint64_t entry;    // file offset of the 8-byte entry
    std::uint32_t address;  // an RVA; a file offset for the security directory
    std::uint32_t size;
};

// Data directory `index` of `headers`' image; nullopt when the optional header
// has no such entry. Throws PackError "malformed executable: <what> lies
// outside the file" when the entry does not fit the file.
std::optional<DataDirectory> ReadDataDirectory(std::span<const std::byte> file,
                                               const PeHeaders& headers, std::size_t index,
                                               const char* what);

struct PeSection {
    std::uint64_t header;  // file offset of its 40-byte header
    std::string name;      // up to 8 bytes, without the zero padding
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
    std::uint32_t characteristics;
};

// Every section header of `headers`' image, in table order. The headers must
// lie whole in the file; where the sections' data lies is not checked here.
// Throws PackError "malformed executable: section table lies outside the
// file".
std::vector<PeSection> ReadSectionTable(std::span<const std::byte> file, const PeHeaders& headers);

}  // namespace korvanthelm::pack
