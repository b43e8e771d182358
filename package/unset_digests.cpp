// The digest constants for programs that link the bootstrapper's libraries
// but check packages other than their own (the release self-test, the
// benchmarks): they hand every digest they compare explicitly, so none of
// these is ever compared with anything.
#include "package/package_digests.h"

namespace korvanthelm {
extern const wchar_t kPackageDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherExeDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherJarDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
}  // namespace korvanthelm
