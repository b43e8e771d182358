// The digest slot: where KORVANTHELM.exe keeps the three digest texts it is
// made with. The stub carries it empty in a section of its own; the packer's
// `build` fills it in place when it adds the package, so a new launcher
// build never relinks the bootstrapper.
//
//   section ".kdigest", exactly kDigestSlotSize bytes at its start:
//   offset  0   8 bytes     magic "KTDIGEST"
//           8   u32 LE      layout, kDigestSlotLayout
//          12   u32 LE      state: 0 empty (the stub), 1 filled (a finished exe)
//          16   16 bytes    the tools' version, ASCII, zero-padded ("1.8.0")
//          32   65 x u16 LE PackageDigest, 64 lowercase hex digits and a zero
//         162   65 x u16 LE LauncherExeDigest, the same way
//         292   65 x u16 LE LauncherJarDigest, the same way
//         422   2 zero bytes
//
// A section rather than a resource: the bootstrapper reads the texts as plain
// constants (no lookup that could fail before the package's own checks), and
// the slot has a fixed size, so filling it moves nothing in the image.
// Portable: no <windows.h>.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvanthelm::format {

inline constexpr char kDigestSlotSection[] = ".kdigest";
inline constexpr std::array<unsigned char, 8> kDigestSlotMagic = {'K', 'T', 'D', 'I',
                                                                  'G', 'E', 'S', 'T'};
// Raised whenever the slot's layout changes: a packer never fills a slot it
// does not know.
inline constexpr std::uint32_t kDigestSlotLayout = 1;
inline constexpr std::uint32_t kDigestSlotEmpty = 0;
inline constexpr std::uint32_t kDigestSlotFilled = 1;

inline constexpr std::size_t kDigestSlotLayoutOffset = 8;
inline constexpr std::size_t kDigestSlotStateOffset = 12;
inline constexpr std::size_t kDigestSlotVersionOffset = 16;
inline constexpr std::size_t kDigestSlotVersionSize = 16;
// A digest text and its terminating zero, in UTF-16 code units.
inline constexpr std::size_t kDigestTextUnits = 65;
inline constexpr std::size_t kPackageDigestOffset = 32;
inline constexpr std::size_t kLauncherExeDigestOffset = kPackageDigestOffset + 2 * kDigestTextUnits;
inline constexpr std::size_t kLauncherJarDigestOffset =
    kLauncherExeDigestOffset + 2 * kDigestTextUnits;
inline constexpr std::size_t kDigestSlotSize = 424;
static_assert(kLauncherJarDigestOffset + 2 * kDigestTextUnits + 2 == kDigestSlotSize);

}  // namespace korvanthelm::format
