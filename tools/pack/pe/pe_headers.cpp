#include "tools/pack/pe/pe_headers.h"

#include <cstring>
#include <string>

#include "format/little_endian.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint32_t kMz = 0x5A4D;            // "MZ"
constexpr std::uint32_t kPeSignature = 0x4550;   // "PE\0\0"
constexpr std::uint64_t kDosHeaderSize = 0x40;   // e_lfanew is its last field
constexpr std::uint64_t kNewHeaderField = 0x3C;  // e_lfanew
constexpr std::uint64_t kSectionNameSize = 8;
constexpr std::uint64_t kSectionCharacteristicsField = 36;
// Data directories start after the fields whose size differs by kind.
constexpr std::uint64_t kPe32Directories = 96;
constexpr std::uint64_t kPe32PlusDirectories = 112;

}  // namespace

bool FileHas(std::span<const std::byte> file, std::uint64_t offset, std::uint64_t size) {
    return offset <= file.size() && size <= file.size() - offset;
}

std::uint32_t ReadLe(std::span<const std::byte> file, std::uint64_t offset, std::size_t size,
                     const char* what) {
    if (!FileHas(file, offset, size)) {
        throw PackError(std::string("malformed executable: ") + what + " lies outside the file");
    }
    return static_cast<std::uint32_t>(
        format::LoadLittleEndian(file.subspan(static_cast<std::size_t>(offset), size)));
}

void WriteLe(std::span<std::byte> file, std::uint64_t offset, std::uint64_t value,
             std::size_t size) {
    if (!FileHas(file, offset, size)) {
        throw PackError("cannot write the executable: a header field lies outside it");
    }
    format::StoreLittleEndian(file.data() + offset, value, size);
}

bool LooksLikePeImage(std::span<const std::byte> file) {
    return file.size() >= 2 && file[0] == std::byte{'M'} && file[1] == std::byte{'Z'};
}

bool HasPeSignature(std::span<const std::byte> file) {
    if (!FileHas(file, 0, kDosHeaderSize) || !LooksLikePeImage(file)) {
        return false;
    }
    const std::uint64_t pe = ReadLe(file, kNewHeaderField, 4, "DOS header");
    return FileHas(file, pe, 4) && ReadLe(file, pe, 4, "PE signature") == kPeSignature;
}

std::optional<std::uint64_t> PeHeaders::DirectoryEntry(std::size_t index) const {
    const std::uint64_t entry = directories + 8 * index;
    if (directory_count <= index || entry + 8 > optional_size) {
        return std::nullopt;
    }
    return optional + entry;
}

PeHeaders ReadPeHeaders(std::span<const std::byte> file) {
    if (ReadLe(file, 0, 2, "DOS header") != kMz) {
        throw PackError("not an executable: no \"MZ\" header");
    }
    PeHeaders headers{};
    headers.signature = ReadLe(file, kNewHeaderField, 4, "DOS header");
    if (ReadLe(file, headers.signature, 4, "PE signature") != kPeSignature) {
        throw PackError("malformed executable: no PE signature");
    }
    const std::uint64_t coff = headers.signature + 4;
    headers.machine = ReadLe(file, coff, 2, "COFF header");
    headers.section_count = ReadLe(file, coff + 2, 2, "COFF header");
    headers.symbol_table = ReadLe(file, coff + 8, 4, "COFF header");
    headers.optional_size = ReadLe(file, coff + 16, 2, "COFF header");
    headers.optional = coff + 20;
    headers.magic = ReadLe(file, headers.optional, 2, "optional header");
    if (headers.magic == kPe32Magic) {
        headers.directories = kPe32Directories;
    } else if (headers.magic == kPe32PlusMagic) {
        headers.directories = kPe32PlusDirectories;
    } else {
        throw PackError("malformed executable: unknown optional header kind");
    }
    headers.section_alignment =
        ReadLe(file, headers.optional + kSectionAlignmentField, 4, "optional header");
    headers.file_alignment =
        ReadLe(file, headers.optional + kFileAlignmentField, 4, "optional header");
    // NumberOfRvaAndSizes is the field just before the directories.
    headers.directory_count =
        ReadLe(file, headers.optional + headers.directories - 4, 4, "optional header");
    return headers;
}

std::optional<DataDirectory> ReadDataDirectory(std::span<const std::byte> file,
                                               const PeHeaders& headers, std::size_t index,
                                               const char* what) {
    const std::optional<std::uint64_t> entry = headers.DirectoryEntry(index);
    if (!entry) {
        return std::nullopt;
    }
    return DataDirectory{*entry, ReadLe(file, *entry, 4, what), ReadLe(file, *entry + 4, 4, what)};
}

std::vector<PeSection> ReadSectionTable(std::span<const std::byte> file, const PeHeaders& headers) {
    std::vector<PeSection> sections;
    for (std::uint32_t i = 0; i < headers.section_count; ++i) {
        const std::uint64_t at = headers.SectionTable() + kSectionHeaderSize * i;
        if (!FileHas(file, at, kSectionHeaderSize)) {
            throw PackError("malformed executable: section table lies outside the file");
        }
        const auto* name = reinterpret_cast<const char*>(file.data() + at);
        const auto field = [&](std::uint64_t offset) {
            return ReadLe(file, at + offset, 4, "section table");
        };
        sections.push_back({at, std::string(name, strnlen(name, kSectionNameSize)),
                            field(kSectionVirtualSizeField), field(kSectionVirtualAddressField),
                            field(kSectionRawSizeField), field(kSectionRawOffsetField),
                            field(kSectionCharacteristicsField)});
    }
    return sections;
}

}  // namespace korvanthelm::pack
