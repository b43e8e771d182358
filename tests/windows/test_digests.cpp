// The digest slot a finished exe gets from the packer, fixed for the tests
// that link the bootstrapper's libraries directly. The launcher digests are
// the SHA-256 of the texts "launcher exe" and "launcher jar"; no test package
// matches the package digest.
#include "package/package_digests.h"

namespace korvanthelm {
extern const DigestSlot kDigestSlot = {
    {'K', 'T', 'D', 'I', 'G', 'E', 'S', 'T'},
    format::kDigestSlotLayout,
    format::kDigestSlotFilled,
    "test",
    L"0000000000000000000000000000000000000000000000000000000000000000",
    L"6f16fb37991a6dad2279ec62d77f83eac59a4e8281ab93c4ebfa82973a1a94b1",
    L"a6d8f81a671d77d7b04824b81f0f276af59b69baf600d026426c9d6011943878",
};
}  // namespace korvanthelm
