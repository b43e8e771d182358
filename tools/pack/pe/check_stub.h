// Whether a file is a bootstrapper stub this packer can fill, asked before
// any long work so that a wrong stub is refused at once. AssembleExecutable
// asks the same question of its stub through ReadCheckedStub, so the rules
// for a stub live here only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {

// Throws PackError, one line naming the problem, when `stub` is not a stub of
// this packer's `version` (the same refusals AssembleExecutable makes of its
// stub). Returns normally for a stub AssembleExecutable accepts.
void CheckStub(std::span<const std::byte> stub, std::string_view version);

// What the checks found out, for the assembly to build on.
struct CheckedStub {
    KorvanthelmImage image;
    std::uint64_t slot;                   // file offset of the digest slot
    std::vector<ResourceLeaf> resources;  // the stub's own, views into the stub
    std::size_t resource_section;         // index of the section the resources fill
    DataDirectory resource_directory;
    DataDirectory relocation_directory;
};

// CheckStub's checks, in the same order, with what they found. Throws the same
// PackError as CheckStub: a 64-bit PE image, whole and followed by nothing,
// with at most 16 data directories, a digest slot of this packer's layout
// and `version`, in the empty state and no package among its resources,
// stripped and unsigned, its resources a section of their own with only the
// relocations after them, and alignments Windows loads.
CheckedStub ReadCheckedStub(std::span<const std::byte> stub, std::string_view version);

}  // namespace korvanthelm::pack
