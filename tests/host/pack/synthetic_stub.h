// A hand-made PE32+ stub of this version shaped like the real one (.text,
// .kdigest, .rsrc, .reloc), and the executable build makes from it, for the
// tests of the proof, the structure checks and build: the host build needs no
// cross compiler for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/pack/pe/assemble_executable.h"

namespace korvanthelm::pack::synthetic {

using Bytes = std::vector<std::byte>;

// The packer's own version: the verify command proves only exes of it.
inline constexpr char kVersion[] = KORVANTHELM_VERSION;

// Where the parts of the stub are, so that rows can damage one of them.
inline constexpr std::size_t kPe = 0x40;
inline constexpr std::size_t kOptional = kPe + 24;
inline constexpr std::size_t kDirectories = kOptional + 112;
inline constexpr std::size_t kSectionTable = kOptional + 240;
inline constexpr std::size_t kSlotRaw = 0x600;
inline constexpr std::size_t kPackageDigestUnits = kSlotRaw + 32;
inline constexpr std::size_t kRelocationEntry = kDirectories + 5 * 8;

struct Section {
    const char* name;
    std::uint32_t rva;
    std::uint32_t raw;
};
inline constexpr Section kStubSections[] = {
    {".text", 0x1000, 0x400},
    {".kdigest", 0x2000, 0x600},
    {".rsrc", 0x3000, 0x800},
    {".reloc", 0x4000, 0xA00},
};

// The little-endian 32-bit value at `offset`.
std::uint32_t Get(const Bytes& image, std::size_t offset);

// A stub of `version`: four sections of 0x200 bytes each, the slot empty,
// the resources one RT_VERSION entry, the relocations one block.
Bytes MakeStub(const char* version = kVersion);

// The digests every assembled executable here carries.
extern const ExecutableDigests kDigests;

// A stand-in package over a page, so that the relocations move to another
// address.
Bytes Package();

// What build makes of `stub` with Package() and kDigests.
Bytes Assemble(const Bytes& stub);

// The file offset of section `name`'s header in `image`.
std::size_t SectionHeader(const Bytes& image, const char* name);

// The PE checksum of `image` written into its optional header.
void FixChecksum(Bytes& image);

// The PackError text `check` throws, or "(accepted)".
std::string RefusalOf(const std::function<void()>& check);

}  // namespace korvanthelm::pack::synthetic
