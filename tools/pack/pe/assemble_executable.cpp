#include "tools/pack/pe/assemble_executable.h"

#include <algorithm>
#include <limits>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/package_resource_id.h"
#include "tools/pack/pe/pe_checksum.h"
#include "tools/pack/pe/pe_headers.h"
#include "tools/pack/pe/write_resource_section.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint32_t kInitializedData = 0x40;  // IMAGE_SCN_CNT_INITIALIZED_DATA

// `resource_bytes` as the stub's resource section, on a page of the file, with
// everything before it kept byte for byte and the sections after it (only the
// relocations) moved up behind it; their headers and directory entries
// follow. Returns the image size the sections now span.
std::uint64_t LayOutSections(std::span<const std::byte> stub, const StubLayout& checked,
                             std::span<const std::byte> resource_bytes,
                             std::vector<std::byte>& out) {
    const std::vector<PeSection>& sections = checked.image.sections;
    const PeSection& resource_section = sections[checked.resource_section];
    const std::uint64_t resource_raw = AlignUp(resource_section.raw_offset, kPage);
    const std::uint64_t resource_raw_size =
        AlignUp(resource_bytes.size(), checked.image.headers.file_alignment);
    out.assign(stub.begin(), stub.begin() + resource_section.raw_offset);
    out.resize(resource_raw, std::byte{0});
    out.insert(out.end(), resource_bytes.begin(), resource_bytes.end());
    out.resize(resource_raw + resource_raw_size, std::byte{0});
    WriteLe(out, resource_section.header + kSectionVirtualSizeField, resource_bytes.size(), 4);
    WriteLe(out, resource_section.header + kSectionRawSizeField, resource_raw_size, 4);
    WriteLe(out, resource_section.header + kSectionRawOffsetField, resource_raw, 4);
    WriteLe(out, checked.resource_directory.entry + 4, resource_bytes.size(), 4);

    std::uint64_t next_rva =
        AlignUp(std::uint64_t{checked.resource_directory.address} + resource_bytes.size(),
                checked.image.headers.section_alignment);
    for (std::size_t i = checked.resource_section + 1; i < sections.size(); ++i) {
        const PeSection& section = sections[i];
        WriteLe(out, section.header + kSectionVirtualAddressField, next_rva, 4);
        WriteLe(out, section.header + kSectionRawOffsetField,
                section.raw_size == 0 ? 0 : out.size(), 4);
        out.insert(out.end(), stub.begin() + section.raw_offset,
                   stub.begin() + section.raw_offset + section.raw_size);
        WriteLe(out, checked.relocation_directory.entry, next_rva, 4);
        next_rva = AlignUp(next_rva + std::max(section.virtual_size, section.raw_size),
                           checked.image.headers.section_alignment);
    }
    return next_rva;
}

// SizeOfImage and SizeOfInitializedData from the sections as `out` now holds
// them.
void SetImageSizes(const StubLayout& checked, std::uint64_t image_size,
                   std::vector<std::byte>& out) {
    const std::uint64_t optional = checked.image.headers.optional;
    WriteLe(out, optional + kSizeOfImageField, image_size, 4);
    std::uint64_t initialized_data = 0;
    for (const PeSection& section : ReadSectionTable(out, checked.image.headers)) {
        if ((section.characteristics & kInitializedData) != 0) {
            initialized_data += section.raw_size;
        }
    }
    WriteLe(out, optional + kSizeOfInitializedDataField,
            std::min<std::uint64_t>(initialized_data, std::numeric_limits<std::uint32_t>::max()),
            4);
}

}  // namespace

std::vector<std::byte> AssembleExecutable(const CheckedStub& stub,
                                          std::span<const std::byte> package,
                                          const ExecutableDigests& digests) {
    for (const std::string* text :
         {&digests.package, &digests.launcher_exe, &digests.launcher_jar}) {
        if (!IsDigestText(*text)) {
            throw PackError("a digest must be 64 lowercase hexadecimal digits, not \"" + *text +
                            "\"");
        }
    }
    const StubLayout& checked = stub.layout();

    std::vector<ResourceLeaf> leaves = checked.resources;
    leaves.push_back({kRtRcdata, kPackageResourceId, kPackageLanguage, /*code_page=*/0, package});
    const std::vector<std::byte> resource_bytes =
        WriteResourceSection(leaves, checked.resource_directory.address);

    std::vector<std::byte> out;
    const std::uint64_t image_size = LayOutSections(stub.bytes(), checked, resource_bytes, out);
    if (image_size > std::numeric_limits<std::uint32_t>::max() ||
        out.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw PackError("the package is too large for a Windows executable");
    }
    SetImageSizes(checked, image_size, out);
    // The slot lies before the resources, so it has not moved.
    WriteDigestSlot(out, checked.slot, digests);
    const std::uint64_t checksum = checked.image.headers.CheckSumOffset();
    WriteLe(out, checksum, PeChecksum(out, checksum), 4);
    return out;
}

}  // namespace korvanthelm::pack
