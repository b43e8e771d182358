#include "tools/pack/pe/check_stub.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "format/digest_slot.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/check_executable_structure.h"
#include "tools/pack/pe/package_resource_id.h"

namespace korvanthelm::pack {
namespace {

// The assembly moves the resource section to a page of the file so that the
// loader maps the package; a file alignment above a page would not divide it.
constexpr std::uint64_t kPage = 4096;
constexpr char kRelocationSection[] = ".reloc";

[[noreturn]] void NotAStub(const std::string& why) {
    throw PackError("not a KORVANTHELM stub: " + why);
}

// The stub as a file: whole, followed by nothing, of this version, empty.
void CheckStubFile(std::span<const std::byte> stub, std::string_view version, StubLayout& checked) {
    const std::span<const std::byte> slot = FindDigestSlot(stub, checked.image);
    checked.slot = static_cast<std::uint64_t>(slot.data() - stub.data());
    std::uint64_t end_of_sections = 0;
    for (const PeSection& section : checked.image.sections) {
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
    const DigestSlotContents contents = ReadDigestSlotContents(slot);
    if (contents.version != version) {
        NotAStub("it is the stub of version " + contents.version + ", this packer is version " +
                 std::string(version) + " (use the stub that came with this packer)");
    }
    checked.resources = ReadResources(stub);
    const bool has_package = std::any_of(
        checked.resources.begin(), checked.resources.end(),
        [](const auto& r) { return r.type == kRtRcdata && r.name == kPackageResourceId; });
    if (contents.filled || has_package) {
        NotAStub("it already carries a package (a finished KORVANTHELM.exe); give the stub");
    }
    // The assembly fills the slot by its texts alone; a state it does not
    // write would reach the bootstrapper as the stub left it.
    const std::uint32_t state = ReadLe(slot, format::kDigestSlotStateOffset, 4, "digest slot");
    if (state != format::kDigestSlotEmpty) {
        NotAStub("its digest slot is in state " + std::to_string(state) + ", not empty");
    }
}

// The stub as an image: its resources can grow into a bigger section.
void CheckStubLayout(std::span<const std::byte> stub, StubLayout& checked) {
    const PeHeaders& headers = checked.image.headers;
    const std::vector<PeSection>& sections = checked.image.sections;
    if (headers.directory_count > kMaxDataDirectories) {
        NotAStub("its optional header counts " + std::to_string(headers.directory_count) +
                 " data directories, more than 16");
    }
    if (headers.symbol_table != 0) {
        NotAStub("it has a symbol table (the stub is linked stripped)");
    }
    const std::optional<DataDirectory> resources =
        ReadDataDirectory(stub, headers, kResourceDirectoryIndex, "resource directory");
    const std::optional<CertificateTable> security = FindCertificateTable(stub, headers);
    const std::optional<DataDirectory> relocations =
        ReadDataDirectory(stub, headers, kRelocationDirectoryIndex, "relocation entry");
    if (!resources || !security || !relocations) {
        NotAStub("its optional header has too few data directories");
    }
    if (security->table_size != 0) {
        NotAStub("it is signed; sign the finished executable instead");
    }
    checked.resource_directory = *resources;
    checked.relocation_directory = *relocations;
    const auto resource_section =
        std::find_if(sections.begin(), sections.end(),
                     [&](const PeSection& s) { return s.virtual_address == resources->address; });
    if (resource_section == sections.end()) {
        NotAStub("its resources are not a section of their own");
    }
    checked.resource_section = static_cast<std::size_t>(resource_section - sections.begin());
    // Code refers to every other section by address; only the relocations,
    // which nothing refers to but their directory entry, can move up to make
    // room for the package.
    for (std::size_t i = checked.resource_section + 1; i < sections.size(); ++i) {
        if (sections[i].name != kRelocationSection ||
            sections[i].virtual_address != relocations->address) {
            NotAStub("section " + sections[i].name + " follows the resources, so they cannot grow");
        }
    }
    if (*checked.image.slot > checked.resource_section) {
        NotAStub("its digest slot follows the resources");
    }
    // Everything before the resources in the file is kept byte for byte.
    for (std::size_t i = 0; i < checked.resource_section; ++i) {
        const PeSection& section = sections[i];
        if (section.raw_size != 0 &&
            section.raw_offset + std::uint64_t{section.raw_size} > resource_section->raw_offset) {
            NotAStub("section " + section.name + " is stored after the resources");
        }
    }
}

void CheckAlignment(const PeHeaders& headers) {
    const std::uint64_t file = headers.file_alignment;
    const std::uint64_t section = headers.section_alignment;
    const auto power_of_two = [](std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!power_of_two(file) || !power_of_two(section) || file > kPage || section < file) {
        NotAStub("its section alignment is not one Windows loads");
    }
}

}  // namespace

CheckedStub CheckStub(std::span<const std::byte> stub, std::string_view version) {
    StubLayout checked{ReadKorvanthelmImage(stub), 0, {}, 0, {}, {}};
    CheckStubFile(stub, version, checked);
    CheckStubLayout(stub, checked);
    CheckAlignment(checked.image.headers);
    return CheckedStub(stub, std::move(checked));
}

}  // namespace korvanthelm::pack
