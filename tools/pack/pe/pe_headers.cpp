#include "tools/pack/pe/pe_headers.h"

#include <string>

#include "format/little_endian.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {

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

std::optional<std::uint64_t> PeHeaders::DirectoryEntry(std::size_t index) const {
    const std::uint64_t entry = directories + 8 * index;
    if (directory_count <= index || entry + 8 > optional_size) {
        return std::nullopt;
    }
    return optional + entry;
}

PeHeaders ReadPeHeaders(std::span<const std::byte> file) {
    if (ReadLe(file, 0, 2, "DOS header") != 0x5A4D) {  // "MZ"
        throw PackError("not an executable: no \"MZ\" header");
    }
    const std::uint64_t pe = ReadLe(file, 0x3C, 4, "DOS header");
    if (ReadLe(file, pe, 4, "PE signature") != 0x00004550) {  // "PE\0\0"
        throw PackError("malformed executable: no PE signature");
    }
    PeHeaders headers{};
    headers.section_count = ReadLe(file, pe + 6, 2, "COFF header");
    headers.optional_size = ReadLe(file, pe + 20, 2, "COFF header");
    headers.optional = pe + 24;
    const std::uint32_t magic = ReadLe(file, headers.optional, 2, "optional header");
    if (magic == 0x10B) {
        headers.directories = 96;  // PE32
    } else if (magic == 0x20B) {
        headers.directories = 112;  // PE32+
    } else {
        throw PackError("malformed executable: unknown optional header kind");
    }
    headers.directory_count =
        ReadLe(file, headers.optional + headers.directories - 4, 4, "optional header");
    return headers;
}

}  // namespace korvanthelm::pack
