// The digest constants the bootstrapper's libraries refer to. The benchmark
// hands DecodePackageResource the digest of the package it was given, so
// none of these is ever compared with anything.
#include "package/package_digests.h"

namespace korvanthelm {
extern const wchar_t kPackageDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherExeDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
extern const wchar_t kLauncherJarDigest[] =
    L"0000000000000000000000000000000000000000000000000000000000000000";
}  // namespace korvanthelm
