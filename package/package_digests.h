// The three digest texts the bootstrapper compares with. They live in the
// executable's digest slot (format/digest_slot.h), empty in the stub and
// filled by the packer's `build` together with the package, and are read
// from there only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/digest_slot.h"

namespace korvanthelm {

struct DigestSlot {
    unsigned char magic[8];
    std::uint32_t layout;
    std::uint32_t state;
    char version[format::kDigestSlotVersionSize];
    wchar_t package_digest[format::kDigestTextUnits];
    wchar_t launcher_exe_digest[format::kDigestTextUnits];
    wchar_t launcher_jar_digest[format::kDigestTextUnits];
};
// The packer writes the slot by the offsets of the portable description.
static_assert(sizeof(wchar_t) == 2, "digest texts are UTF-16");
static_assert(offsetof(DigestSlot, layout) == format::kDigestSlotLayoutOffset);
static_assert(offsetof(DigestSlot, state) == format::kDigestSlotStateOffset);
static_assert(offsetof(DigestSlot, version) == format::kDigestSlotVersionOffset);
static_assert(offsetof(DigestSlot, package_digest) == format::kPackageDigestOffset);
static_assert(offsetof(DigestSlot, launcher_exe_digest) == format::kLauncherExeDigestOffset);
static_assert(offsetof(DigestSlot, launcher_jar_digest) == format::kLauncherJarDigestOffset);
static_assert(sizeof(DigestSlot) == format::kDigestSlotSize);

// Defined once per program: the stub's empty slot (package/digest_slot.cpp),
// or fixed texts for the tests and tools that link these libraries.
extern const DigestSlot kDigestSlot;

// SHA-256 of the whole package resource.
inline constexpr const wchar_t* kPackageDigest = kDigestSlot.package_digest;
// SHA-256 of the installed launcher's executable.
inline constexpr const wchar_t* kLauncherExeDigest = kDigestSlot.launcher_exe_digest;
// SHA-256 of the installed launcher's jar; also the expected build mark.
inline constexpr const wchar_t* kLauncherJarDigest = kDigestSlot.launcher_jar_digest;

}  // namespace korvanthelm
