// Where the package lives among an executable's resources: the one spelling
// of the type, name and language that the bootstrapper loads, the packer
// writes and `list`/`verify` look for.
#pragma once

#include <cstdint>

namespace korvanthelm::pack {

inline constexpr std::uint32_t kRtRcdata = 10;  // RT_RCDATA: raw bytes, no conversion
inline constexpr std::uint32_t kPackageResourceId = 101;
// en-US (LANG_ENGLISH, SUBLANG_ENGLISH_US): the package is stored under this one
// language only, so which copy the loader picks never depends on the user.
inline constexpr std::uint32_t kPackageLanguage = 1033;

}  // namespace korvanthelm::pack
