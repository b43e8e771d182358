// Finds the package resource (RT_RCDATA 101) in a built executable's file,
// with a small PE reader that checks every offset and size against the file
// before using it.
#pragma once

#include <cstddef>
#include <span>

namespace korvanthelm::pack {

// True when `file` starts like a PE image ("MZ"); a package starts "KTSETUP1".
bool LooksLikePeImage(std::span<const std::byte> file);

// The bytes of resource type RT_RCDATA (10), integer name 101, in the PE image
// `image` (the file as stored on disk); a view into `image`. Throws PackError
// when the image is malformed anywhere on the way, has no such resource, or
// holds it in more than one language (which one the bootstrapper would load
// would then depend on the user's language settings).
std::span<const std::byte> FindPackageResource(std::span<const std::byte> image);

}  // namespace korvanthelm::pack
