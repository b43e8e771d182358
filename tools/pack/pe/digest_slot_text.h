// The digest slot of a stub or finished executable (format/digest_slot.h has
// its layout): finding it through the one PE reader, reading its texts and
// filling them in. `verify` reads it, `build` fills it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/pe/pe_headers.h"

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

// The headers and sections of an image that may be a stub or finished
// executable of ours.
struct KorvanthelmImage {
    PeHeaders headers;
    std::vector<PeSection> sections;
    std::optional<std::size_t> slot;  // index of the digest slot's section
};

// Throws PackError "not a KORVANTHELM executable: it is not a 64-bit Windows
// program" for any other machine or optional header kind, and the reader's
// "malformed executable: ..." refusals.
KorvanthelmImage ReadKorvanthelmImage(std::span<const std::byte> image);

// The slot's bytes in `image`, with its section, size, mark and layout
// checked. Throws PackError "not a KORVANTHELM executable: ..." naming which
// of them is missing or wrong.
std::span<const std::byte> FindDigestSlot(std::span<const std::byte> image,
                                          const KorvanthelmImage& layout);

// What the slot's bytes (kDigestSlotSize of them) say. A text ends at its
// first zero; units outside ASCII read as '?'.
DigestSlotContents ReadDigestSlotContents(std::span<const std::byte> slot);

// The digest slot of `image`. Throws PackError when the image is malformed or
// has no slot of the layout this packer knows ("not a KORVANTHELM stub or
// executable").
DigestSlotContents ReadDigestSlot(std::span<const std::byte> image);

// Whether `text` is a release version as the build writes it into the slot:
// three decimal numbers without leading zeros, joined by dots ("1.8.0"). Any
// other text in a filled slot ("v1.8.0", "1.8.0-", a flipped bit) is damage,
// not another version.
bool IsReleaseVersion(std::string_view text);

// Marks the slot at file offset `slot` of `image` filled and writes
// `digests` into it, each text zero-padded to its field; nothing else of the
// slot changes. The texts are IsDigestText ones (the caller checked).
void WriteDigestSlot(std::span<std::byte> image, std::uint64_t slot,
                     const ExecutableDigests& digests);

}  // namespace korvanthelm::pack
