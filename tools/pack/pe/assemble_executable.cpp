#include "tools/pack/pe/assemble_executable.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <tuple>

#include "format/digest_slot.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::size_t kResourceDirectoryIndex = 2;    // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr std::size_t kSecurityDirectoryIndex = 4;    // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr std::size_t kRelocationDirectoryIndex = 5;  // IMAGE_DIRECTORY_ENTRY_BASERELOC
constexpr std::uint32_t kMachineAmd64 = 0x8664;
constexpr std::uint32_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kInitializedData = 0x40;  // IMAGE_SCN_CNT_INITIALIZED_DATA
constexpr std::uint32_t kRtRcdata = 10;
constexpr std::uint32_t kPackageResourceId = 101;
constexpr std::uint32_t kLanguageEnUs = 1033;
constexpr std::uint32_t kSubdirectory = 0x80000000;
// Optional header fields (PE32+), as offsets from its start.
constexpr std::uint64_t kSizeOfInitializedData = 8;
constexpr std::uint64_t kSectionAlignment = 32;
constexpr std::uint64_t kFileAlignment = 36;
constexpr std::uint64_t kSizeOfImage = 56;
constexpr std::uint64_t kCheckSum = 64;
constexpr char kRelocationSection[] = ".reloc";

struct SectionHeader {
    std::uint64_t at;  // file offset of the 40-byte header
    std::string name;
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
    std::uint32_t characteristics;
};

[[noreturn]] void NotAStub(const std::string& why) {
    throw PackError("not a KORVANTHELM stub: " + why);
}

// Neither a stub nor a finished executable of ours.
[[noreturn]] void NotOurs(const std::string& why) {
    throw PackError("not a KORVANTHELM executable: " + why);
}

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void PutLe(std::vector<std::byte>& bytes, std::uint64_t offset, std::uint64_t value,
           std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes[offset + i] = static_cast<std::byte>(value >> (8 * i));
    }
}

// The headers, section table and slot of a stub or finished executable.
struct ImageLayout {
    PeHeaders headers;
    std::uint64_t pe;  // file offset of the PE signature
    std::vector<SectionHeader> sections;
    std::optional<std::size_t> slot;  // index of the digest slot's section
};

ImageLayout ReadImageLayout(std::span<const std::byte> image) {
    ImageLayout layout{ReadPeHeaders(image), ReadLe(image, 0x3C, 4, "DOS header"), {}, {}};
    if (ReadLe(image, layout.pe + 4, 2, "COFF header") != kMachineAmd64 ||
        ReadLe(image, layout.headers.optional, 2, "optional header") != kPe32PlusMagic) {
        NotOurs("it is not a 64-bit Windows program");
    }
    const std::uint64_t table = layout.headers.optional + layout.headers.optional_size;
    for (std::uint32_t i = 0; i < layout.headers.section_count; ++i) {
        const std::uint64_t at = table + kSectionHeaderSize * i;
        if (!FileHas(image, at, kSectionHeaderSize)) {
            throw PackError("malformed executable: section table lies outside the file");
        }
        const auto* name = reinterpret_cast<const char*>(image.data() + at);
        layout.sections.push_back(
            {at, std::string(name, strnlen(name, 8)), ReadLe(image, at + 8, 4, "section table"),
             ReadLe(image, at + 12, 4, "section table"), ReadLe(image, at + 16, 4, "section table"),
             ReadLe(image, at + 20, 4, "section table"),
             ReadLe(image, at + 36, 4, "section table")});
        if (layout.sections.back().name == format::kDigestSlotSection) {
            layout.slot = i;
        }
    }
    return layout;
}

std::string ReadDigestText(std::span<const std::byte> slot, std::size_t offset) {
    std::string text;
    for (std::size_t i = 0; i + 1 < format::kDigestTextUnits; ++i) {
        const std::uint32_t unit = ReadLe(slot, offset + 2 * i, 2, "digest slot");
        if (unit == 0) {
            break;
        }
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

// The slot's bytes in the file, with the magic and layout checked.
std::span<const std::byte> FindSlot(std::span<const std::byte> image, const ImageLayout& layout) {
    if (!layout.slot) {
        NotOurs("it has no digest slot (section " + std::string(format::kDigestSlotSection) + ")");
    }
    const SectionHeader& section = layout.sections[*layout.slot];
    if (section.raw_size < format::kDigestSlotSize ||
        !FileHas(image, section.raw_offset, format::kDigestSlotSize)) {
        NotOurs("its digest slot is cut short");
    }
    const std::span<const std::byte> slot =
        image.subspan(section.raw_offset, format::kDigestSlotSize);
    if (std::memcmp(slot.data(), format::kDigestSlotMagic.data(),
                    format::kDigestSlotMagic.size()) != 0) {
        NotOurs("its digest slot has no \"KTDIGEST\" mark");
    }
    const std::uint32_t layout_version =
        ReadLe(slot, format::kDigestSlotLayoutOffset, 4, "digest slot");
    if (layout_version != format::kDigestSlotLayout) {
        NotOurs("its digest slot has layout " + std::to_string(layout_version) +
                ", this packer knows layout " + std::to_string(format::kDigestSlotLayout) +
                " (use the stub that came with this packer)");
    }
    return slot;
}

// What the slot's bytes say.
DigestSlotContents SlotContents(std::span<const std::byte> slot) {
    const auto* version =
        reinterpret_cast<const char*>(slot.data() + format::kDigestSlotVersionOffset);
    return {
        ReadLe(slot, format::kDigestSlotStateOffset, 4, "digest slot") == format::kDigestSlotFilled,
        std::string(version, strnlen(version, format::kDigestSlotVersionSize)),
        {ReadDigestText(slot, format::kPackageDigestOffset),
         ReadDigestText(slot, format::kLauncherExeDigestOffset),
         ReadDigestText(slot, format::kLauncherJarDigestOffset)}};
}

// The data of the leaves, sorted by type, name and language, as one resource
// section at `rva`: the directory tables first (root, types, names), then the
// data entries, then the data, each piece on 8 bytes as resource compilers
// lay them out. Only integer names occur.
std::vector<std::byte> WriteResourceSection(std::vector<ResourceLeaf> leaves, std::uint32_t rva) {
    std::sort(leaves.begin(), leaves.end(), [](const ResourceLeaf& a, const ResourceLeaf& b) {
        return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
    });
    struct Name {
        std::uint32_t id;
        std::size_t first_leaf;
        std::size_t leaf_count;
    };
    struct Type {
        std::uint32_t id;
        std::vector<Name> names;
    };
    std::vector<Type> types;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        if (types.empty() || types.back().id != leaves[i].type) {
            types.push_back({leaves[i].type, {}});
        }
        std::vector<Name>& names = types.back().names;
        if (names.empty() || names.back().id != leaves[i].name) {
            names.push_back({leaves[i].name, i, 0});
        }
        ++names.back().leaf_count;
    }

    const auto directory_size = [](std::size_t entries) { return 16 + 8 * entries; };
    std::uint64_t size = directory_size(types.size());
    for (const Type& type : types) {
        size += directory_size(type.names.size());
    }
    for (const Type& type : types) {
        for (const Name& name : type.names) {
            size += directory_size(name.leaf_count);
        }
    }
    const std::uint64_t data_entries = size;
    size += 16 * leaves.size();
    std::vector<std::uint64_t> data_offsets;
    for (const ResourceLeaf& leaf : leaves) {
        size = AlignUp(size, 8);
        data_offsets.push_back(size);
        size += leaf.data.size();
    }
    if (size > std::numeric_limits<std::uint32_t>::max() - rva) {
        throw PackError("the package is too large for a Windows executable");
    }

    std::vector<std::byte> out(size, std::byte{0});
    const auto put_directory = [&](std::uint64_t at, std::size_t entries) {
        PutLe(out, at + 14, entries, 2);  // integer-named entries; no named ones
        return at + 16;
    };
    // Directory tables in the order they were sized: the root's entries point
    // at the type tables, theirs at the name tables, theirs at data entries.
    std::uint64_t next_table = directory_size(types.size());
    std::uint64_t entry = put_directory(0, types.size());
    for (const Type& type : types) {
        PutLe(out, entry, type.id, 4);
        PutLe(out, entry + 4, kSubdirectory | next_table, 4);
        entry += 8;
        next_table += directory_size(type.names.size());
    }
    std::uint64_t type_table = directory_size(types.size());
    std::size_t leaf_index = 0;
    for (const Type& type : types) {
        entry = put_directory(type_table, type.names.size());
        for (const Name& name : type.names) {
            PutLe(out, entry, name.id, 4);
            PutLe(out, entry + 4, kSubdirectory | next_table, 4);
            std::uint64_t language_entry = put_directory(next_table, name.leaf_count);
            for (std::size_t i = 0; i < name.leaf_count; ++i, ++leaf_index) {
                const std::uint64_t data_entry = data_entries + 16 * leaf_index;
                PutLe(out, language_entry, leaves[leaf_index].language, 4);
                PutLe(out, language_entry + 4, data_entry, 4);
                language_entry += 8;
                PutLe(out, data_entry, rva + data_offsets[leaf_index], 4);
                PutLe(out, data_entry + 4, leaves[leaf_index].data.size(), 4);
                PutLe(out, data_entry + 8, leaves[leaf_index].code_page, 4);
                std::copy(leaves[leaf_index].data.begin(), leaves[leaf_index].data.end(),
                          out.begin() + static_cast<std::ptrdiff_t>(data_offsets[leaf_index]));
            }
            entry += 8;
            next_table += directory_size(name.leaf_count);
        }
        type_table += directory_size(type.names.size());
    }
    return out;
}

}  // namespace

DigestSlotContents ReadDigestSlot(std::span<const std::byte> image) {
    return SlotContents(FindSlot(image, ReadImageLayout(image)));
}

std::uint32_t PeChecksum(std::span<const std::byte> image, std::uint64_t checksum_offset) {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < image.size(); i += 2) {
        std::uint32_t word = std::to_integer<std::uint32_t>(image[i]);
        if (i + 1 < image.size()) {
            word |= std::to_integer<std::uint32_t>(image[i + 1]) << 8;
        }
        if (i >= checksum_offset && i < checksum_offset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

std::vector<std::byte> AssembleExecutable(std::span<const std::byte> stub,
                                          std::span<const std::byte> package,
                                          const ExecutableDigests& digests,
                                          std::string_view version) {
    for (const std::string* text :
         {&digests.package, &digests.launcher_exe, &digests.launcher_jar}) {
        if (!IsDigestText(*text)) {
            throw PackError("a digest must be 64 lowercase hexadecimal digits, not \"" + *text +
                            "\"");
        }
    }
    const ImageLayout layout = ReadImageLayout(stub);
    const std::uint64_t optional = layout.headers.optional;
    const std::span<const std::byte> slot = FindSlot(stub, layout);
    std::uint64_t end_of_sections = 0;
    for (const SectionHeader& section : layout.sections) {
        if (section.raw_size != 0) {
            if (!FileHas(stub, section.raw_offset, section.raw_size)) {
                NotAStub("it is cut short (section " + section.name + " ends past the file's " +
                         std::to_string(stub.size()) + " bytes)");
            }
            end_of_sections =
                std::max<std::uint64_t>(end_of_sections, section.raw_offset + section.raw_size);
        }
    }
    if (end_of_sections != stub.size()) {
        NotAStub("it has " + std::to_string(stub.size() - end_of_sections) +
                 " bytes after its sections (a signature or appended data)");
    }
    const DigestSlotContents contents = SlotContents(slot);
    if (contents.version != version) {
        NotAStub("it is the stub of version " + contents.version + ", this packer is version " +
                 std::string(version) + " (use the stub that came with this packer)");
    }
    const std::vector<ResourceLeaf> resources = ReadResources(stub);
    const bool has_package = std::any_of(resources.begin(), resources.end(), [](const auto& r) {
        return r.type == kRtRcdata && r.name == kPackageResourceId;
    });
    if (contents.filled || has_package) {
        NotAStub("it already carries a package (a finished KORVANTHELM.exe); give the stub");
    }

    if (ReadLe(stub, layout.pe + 12, 4, "COFF header") != 0) {
        NotAStub("it has a symbol table (the stub is linked stripped)");
    }
    const auto directory = [&](std::size_t index) -> std::optional<std::uint64_t> {
        return layout.headers.DirectoryEntry(index);
    };
    const std::optional<std::uint64_t> resource_entry = directory(kResourceDirectoryIndex);
    const std::optional<std::uint64_t> security_entry = directory(kSecurityDirectoryIndex);
    const std::optional<std::uint64_t> relocation_entry = directory(kRelocationDirectoryIndex);
    if (!resource_entry || !security_entry || !relocation_entry) {
        NotAStub("its optional header has too few data directories");
    }
    if (ReadLe(stub, *security_entry + 4, 4, "certificate table entry") != 0) {
        NotAStub("it is signed; sign the finished executable instead");
    }
    const std::uint32_t resource_rva = ReadLe(stub, *resource_entry, 4, "resource directory");
    const auto resource_section =
        std::find_if(layout.sections.begin(), layout.sections.end(),
                     [&](const SectionHeader& s) { return s.virtual_address == resource_rva; });
    if (resource_section == layout.sections.end()) {
        NotAStub("its resources are not a section of their own");
    }
    const std::size_t resource_index =
        static_cast<std::size_t>(resource_section - layout.sections.begin());
    // Code refers to every other section by address; only the relocations,
    // which nothing refers to but their directory entry, can move up to make
    // room for the package.
    const std::uint32_t relocation_rva = ReadLe(stub, *relocation_entry, 4, "relocation entry");
    for (std::size_t i = resource_index + 1; i < layout.sections.size(); ++i) {
        if (layout.sections[i].name != kRelocationSection ||
            layout.sections[i].virtual_address != relocation_rva) {
            NotAStub("section " + layout.sections[i].name +
                     " follows the resources, so they cannot grow");
        }
    }
    if (*layout.slot > resource_index) {
        NotAStub("its digest slot follows the resources");
    }
    // Everything before the resources in the file is kept byte for byte.
    for (std::size_t i = 0; i < resource_index; ++i) {
        const SectionHeader& section = layout.sections[i];
        if (section.raw_size != 0 &&
            section.raw_offset + std::uint64_t{section.raw_size} > resource_section->raw_offset) {
            NotAStub("section " + section.name + " is stored after the resources");
        }
    }
    const std::uint64_t file_alignment = ReadLe(stub, optional + kFileAlignment, 4, "header");
    const std::uint64_t section_alignment = ReadLe(stub, optional + kSectionAlignment, 4, "header");
    const auto power_of_two = [](std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!power_of_two(file_alignment) || !power_of_two(section_alignment) ||
        file_alignment > kPage || section_alignment < file_alignment) {
        NotAStub("its section alignment is not one Windows loads");
    }

    std::vector<ResourceLeaf> leaves = resources;
    leaves.push_back({kRtRcdata, kPackageResourceId, kLanguageEnUs, /*code_page=*/0, package});
    const std::vector<std::byte> resource_bytes = WriteResourceSection(leaves, resource_rva);

    // Everything before the resources stays where it is; the resource section
    // starts on a page of the file so that the loader can map it.
    const std::uint64_t resource_raw = AlignUp(resource_section->raw_offset, kPage);
    const std::uint64_t resource_raw_size = AlignUp(resource_bytes.size(), file_alignment);
    std::vector<std::byte> out(stub.begin(), stub.begin() + resource_section->raw_offset);
    out.resize(resource_raw, std::byte{0});
    out.insert(out.end(), resource_bytes.begin(), resource_bytes.end());
    out.resize(resource_raw + resource_raw_size, std::byte{0});
    PutLe(out, resource_section->at + 8, resource_bytes.size(), 4);
    PutLe(out, resource_section->at + 16, resource_raw_size, 4);
    PutLe(out, resource_section->at + 20, resource_raw, 4);
    PutLe(out, *resource_entry + 4, resource_bytes.size(), 4);

    std::uint64_t next_rva =
        AlignUp(std::uint64_t{resource_rva} + resource_bytes.size(), section_alignment);
    for (std::size_t i = resource_index + 1; i < layout.sections.size(); ++i) {
        const SectionHeader& section = layout.sections[i];
        PutLe(out, section.at + 12, next_rva, 4);
        PutLe(out, section.at + 20, section.raw_size == 0 ? 0 : out.size(), 4);
        out.insert(out.end(), stub.begin() + section.raw_offset,
                   stub.begin() + section.raw_offset + section.raw_size);
        PutLe(out, *relocation_entry, next_rva, 4);
        next_rva =
            AlignUp(next_rva + std::max(section.virtual_size, section.raw_size), section_alignment);
    }
    if (next_rva > std::numeric_limits<std::uint32_t>::max() ||
        out.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw PackError("the package is too large for a Windows executable");
    }
    PutLe(out, optional + kSizeOfImage, next_rva, 4);
    std::uint64_t initialized_data = 0;
    for (const SectionHeader& section : layout.sections) {
        if ((section.characteristics & kInitializedData) != 0) {
            initialized_data += ReadLe(out, section.at + 16, 4, "section table");
        }
    }
    PutLe(out, optional + kSizeOfInitializedData,
          std::min<std::uint64_t>(initialized_data, std::numeric_limits<std::uint32_t>::max()), 4);

    const std::uint64_t slot_at =
        static_cast<std::uint64_t>(slot.data() - stub.data());  // before the resources: unmoved
    PutLe(out, slot_at + format::kDigestSlotStateOffset, format::kDigestSlotFilled, 4);
    const auto put_text = [&](std::size_t offset, const std::string& text) {
        for (std::size_t i = 0; i < format::kDigestTextUnits; ++i) {
            PutLe(out, slot_at + offset + 2 * i,
                  i < text.size() ? static_cast<unsigned char>(text[i]) : 0, 2);
        }
    };
    put_text(format::kPackageDigestOffset, digests.package);
    put_text(format::kLauncherExeDigestOffset, digests.launcher_exe);
    put_text(format::kLauncherJarDigestOffset, digests.launcher_jar);

    PutLe(out, optional + kCheckSum, PeChecksum(out, optional + kCheckSum), 4);
    return out;
}

}  // namespace korvanthelm::pack
