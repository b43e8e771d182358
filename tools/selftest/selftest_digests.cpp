// The digest constants the bootstrapper's libraries refer to. The self-test
// checks the package of the exe it is given, against the PackageDigest that
// exe carries, so none of these is ever compared with anything.
#include "package/package_digests.h"

namespace korvanthelm {
extern const wchar_t kPackageDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherExeDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherJarDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
}  // namespace korvanthelm
