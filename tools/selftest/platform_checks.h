// What the system's own DLLs answer: the Compression API's ordinals in
// System32's cabinet.dll, and SHA-256 through bcrypt on known answers.
#pragma once

#include <string>

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

// The bootstrapper binds CreateDecompressor, Decompress and CloseDecompressor
// by ordinal (40, 43, 45): each ordinal must resolve to the same address as
// the exported name. Not checkable where cabinet.dll exports no such names.
CheckLine CheckCabinetOrdinals();

// ComputeSha256Text (bcrypt from System32) on the standard test vectors.
CheckLine CheckSha256KnownAnswers();

// WinVerifyTrust on the exe's Authenticode signature, as Windows judges a
// download: passed when Windows trusts it (revocation not checked, so the
// answer needs no network), not checkable for an unsigned exe, FAILED with
// Windows' answer otherwise (a test certificate is not trusted).
CheckLine CheckSignatureTrust(const std::wstring& exe_path);

}  // namespace korvanthelm::selftest
