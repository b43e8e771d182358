// The stub's digest slot, empty: the packer's `build` finds it by its section
// and magic and writes the three digest texts of the package it adds. Kept in
// a translation unit of its own, so no code that reads the slot can see its
// empty content and fold it in.
#include "package/package_digests.h"

#ifndef KORVANTHELM_VERSION
#error "KORVANTHELM_VERSION must name the tools' version"
#endif

namespace korvanthelm {

#if defined(_MSC_VER)
#pragma section(".kdigest", read)
#define KORVANTHELM_IN_DIGEST_SLOT __declspec(allocate(".kdigest"))
#else
#define KORVANTHELM_IN_DIGEST_SLOT __attribute__((section(".kdigest"), used))
#endif

KORVANTHELM_IN_DIGEST_SLOT extern const DigestSlot kDigestSlot = {
    {'K', 'T', 'D', 'I', 'G', 'E', 'S', 'T'},
    format::kDigestSlotLayout,
    format::kDigestSlotEmpty,
    KORVANTHELM_VERSION,
    {},
    {},
    {},
};

}  // namespace korvanthelm
