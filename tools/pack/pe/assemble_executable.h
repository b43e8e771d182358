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
#include <vector>

#include "tools/pack/base/hex_text.h"        // IsDigestText, the form every digest must have
#include "tools/pack/pe/check_stub.h"        // CheckedStub, the only stub the assembly takes
#include "tools/pack/pe/digest_slot_text.h"  // ExecutableDigests, and ReadDigestSlot for callers

namespace korvanthelm::pack {

// The finished executable: `stub` with `package` as RT_RCDATA 101 (language
// 1033), the digest slot holding `digests`, the resource section on a page
// of the file (the loader then maps the package instead of copying it), the
// section, image and data sizes and the PE checksum made to match. The same
// inputs always give the same bytes. The package's content is not looked at;
// the stub is the one CheckStub passed, and is not checked again.
//
// Throws PackError, one line naming the problem, when a digest is not 64
// lowercase hex digits; then when the result would not fit a PE file.
std::vector<std::byte> AssembleExecutable(const CheckedStub& stub,
                                          std::span<const std::byte> package,
                                          const ExecutableDigests& digests);

}  // namespace korvanthelm::pack
