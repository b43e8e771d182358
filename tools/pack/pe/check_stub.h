// Whether a file is a bootstrapper stub this packer can fill, asked before
// any long work so that a wrong stub is refused at once. The answer is the
// checked stub itself, which the assembly takes, so the rules for a stub
// live here only and are asked once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {

// What the checks found out, for the assembly to build on.
struct StubLayout {
    KorvanthelmImage image;
    std::uint64_t slot;                   // file offset of the digest slot
    std::vector<ResourceLeaf> resources;  // the stub's own, views into the stub
    std::size_t resource_section;         // index of the section the resources fill
    DataDirectory resource_directory;
    DataDirectory relocation_directory;
};

// A stub that passed CheckStub, with what the checks found. Only CheckStub
// makes one, and AssembleExecutable takes nothing else: a stub is checked
// once, and the assembly cannot be handed one nobody checked. It views the
// caller's bytes, which must outlive it.
class CheckedStub {
  public:
    std::span<const std::byte> bytes() const { return bytes_; }
    const StubLayout& layout() const { return layout_; }

  private:
    CheckedStub(std::span<const std::byte> bytes, StubLayout layout)
        : bytes_(bytes), layout_(std::move(layout)) {}
    friend CheckedStub CheckStub(std::span<const std::byte> stub, std::string_view version);

    std::span<const std::byte> bytes_;
    StubLayout layout_;
};

// `stub` checked to be a stub of this packer's `version` that the assembly
// can fill: a 64-bit PE image, whole and followed by nothing, with at most
// 16 data directories, a digest slot of this packer's layout and `version`,
// in the empty state and no package among its resources, stripped and
// unsigned, its resources a section of their own with only the relocations
// after them, and alignments Windows loads. Throws PackError, one line
// naming the first of these the stub fails.
CheckedStub CheckStub(std::span<const std::byte> stub, std::string_view version);
// The result views `stub`: a temporary's bytes would be gone before use.
CheckedStub CheckStub(std::vector<std::byte>&& stub, std::string_view version) = delete;

}  // namespace korvanthelm::pack
