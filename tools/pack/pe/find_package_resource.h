// Finds the package resource (RT_RCDATA 101) in a built executable's file,
// walking its resource tree with every offset and size checked against the
// file before it is used; the headers come from the one PE reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tools/pack/pe/pe_headers.h"  // LooksLikePeImage, which callers ask first

namespace korvanthelm::pack {

// The bytes of resource type RT_RCDATA (10), integer name 101, in the PE image
// `image` (the file as stored on disk); a view into `image`. Throws PackError
// when the image is malformed anywhere on the way, has no such resource, or
// holds it in more than one language (which one the bootstrapper would load
// would then depend on the user's language settings).
std::span<const std::byte> FindPackageResource(std::span<const std::byte> image);

// One resource of an image: type, integer name, language, code page of its
// data entry, and its bytes (a view into the image).
struct ResourceLeaf {
    std::uint32_t type;
    std::uint32_t name;
    std::uint32_t language;
    std::uint32_t code_page;
    std::span<const std::byte> data;
};

// Every resource of `image` in directory order. Throws PackError as
// FindPackageResource does, and for string-named types or names (the
// bootstrapper's resources are all numbered).
std::vector<ResourceLeaf> ReadResources(std::span<const std::byte> image);

}  // namespace korvanthelm::pack
