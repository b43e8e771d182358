// The digest constants an exe variant gets from its build, fixed for the
// tests that link the bootstrapper's libraries directly. The launcher digests
// are the SHA-256 of the texts "launcher exe" and "launcher jar"; no test
// package matches the package digest.
#include "package/package_digests.h"

namespace korvanthelm {
extern const wchar_t kPackageDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherExeDigest[] =
    L"6f16fb37991a6dad2279ec62d77f83eac59a4e8281ab93c4ebfa82973a1a94b1";
extern const wchar_t kLauncherJarDigest[] =
    L"a6d8f81a671d77d7b04824b81f0f276af59b69baf600d026426c9d6011943878";
}  // namespace korvanthelm
