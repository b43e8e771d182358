// The digest slot for programs that link the bootstrapper's libraries but
// check packages other than their own (the release self-test, the
// benchmarks): they hand every digest they compare explicitly, so none of
// these is ever compared with anything.
#include "package/package_digests.h"

namespace korvanthelm {
extern const DigestSlot kDigestSlot = {
    {'K', 'T', 'D', 'I', 'G', 'E', 'S', 'T'},
    format::kDigestSlotLayout,
    format::kDigestSlotFilled,
    "unset",
    L"0000000000000000000000000000000000000000000000000000000000000000",
    L"0000000000000000000000000000000000000000000000000000000000000000",
    L"0000000000000000000000000000000000000000000000000000000000000000",
};
}  // namespace korvanthelm
