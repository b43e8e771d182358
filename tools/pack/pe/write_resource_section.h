// A resource section built from its leaves: how the packer adds the package
// beside the stub's own resources without a resource compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tools/pack/pe/find_package_resource.h"

namespace korvanthelm::pack {

// The data of `leaves`, sorted by type, name and language, as one resource
// section to be loaded at `rva`: the directory tables first (root, types,
// names), then the data entries, then the data, each piece on 8 bytes as
// resource compilers lay them out. Only integer names occur. The same leaves
// always give the same bytes. Throws PackError "the package is too large for
// a Windows executable" when the section would reach past 4 GiB of addresses.
std::vector<std::byte> WriteResourceSection(std::vector<ResourceLeaf> leaves, std::uint32_t rva);

}  // namespace korvanthelm::pack
