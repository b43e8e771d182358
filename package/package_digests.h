// Digest texts fixed when the bootstrapper is built together with its package
// (generated per executable from the package file and the packer's output).
#pragma once

namespace korvanthelm {

// SHA-256 of the whole package resource.
extern const wchar_t kPackageDigest[];
// SHA-256 of the installed launcher's executable.
extern const wchar_t kLauncherExeDigest[];
// SHA-256 of the installed launcher's jar; also the expected build mark.
extern const wchar_t kLauncherJarDigest[];

}  // namespace korvanthelm
