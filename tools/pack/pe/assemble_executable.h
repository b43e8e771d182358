// KORVANTHELM.exe from the prebuilt stub: the package added as RT_RCDATA 101
// beside the stub's own resources, the digest slot filled, and every header
// field that follows from the bigger resource section set again. No
// compiler, linker or resource compiler is involved, so a release needs only
// the packer and the stub it ships with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/base/hex_text.h"

namespace korvanthelm::pack {

// The three digest texts of a finished executable (64 lowercase hex digits).
struct ExecutableDigests {
    std::string package;
    std::string launcher_exe;
    std::string launcher_jar;
};

struct DigestSlotContents {
    bool filled;
    std::string version;
    ExecutableDigests digests;  // empty texts in a stub
};

// The digest slot of `image`. Throws PackError when the image is malformed or
// has no slot of the layout this packer knows ("not a KORVANTHELM stub or
// executable").
DigestSlotContents ReadDigestSlot(std::span<const std::byte> image);

// The finished executable: `stub` with `package` as RT_RCDATA 101 (language
// 1033), the digest slot holding `digests`, the resource section on a page
// of the file (the loader then maps the package instead of copying it), the
// section, image and data sizes and the PE checksum made to match. The same
// inputs always give the same bytes. The package's content is not looked at.
//
// Throws PackError, one line naming the problem, when `stub` is not a stub of
// this packer's `version`: not a 64-bit PE image, cut short or followed by
// other data, signed, without the digest slot or with one of another layout
// or version, already filled or already carrying a package (a finished exe),
// or laid out so that the resources cannot grow (sections other than the
// relocations after them). Also when a digest is not 64 lowercase hex digits
// or the result would not fit a PE file.
std::vector<std::byte> AssembleExecutable(std::span<const std::byte> stub,
                                          std::span<const std::byte> package,
                                          const ExecutableDigests& digests,
                                          std::string_view version);

// The PE checksum of `image` with its CheckSum field at `checksum_offset`
// taken as zero: the 16-bit sum with carries folded back, plus the length.
std::uint32_t PeChecksum(std::span<const std::byte> image, std::uint64_t checksum_offset);

}  // namespace korvanthelm::pack
