// The package of a built KORVANTHELM.exe, decoded both ways the bootstrapper
// can: by the system's decompressor (cabinet.dll's Compression API) and by
// its built-in decoder. Windows' own decompressor must accept what our packer
// makes, byte for byte as our decoder reads it.
#pragma once

#include <string>

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

// Three lines: the package resource and its digest (SHA-256 through bcrypt,
// found as the exe's built-in PackageDigest), the built-in decoder (exactly
// unpacked_size bytes, a sound table header), and the system's decompressor
// (the same bytes as the built-in decoder's), with the timings of both.
CheckLines CheckPackage(const std::wstring& exe_path);

}  // namespace korvanthelm::selftest
