// What the system's own DLLs answer: the Compression API's ordinals in
// System32's cabinet.dll, and SHA-256 through bcrypt on known answers.
#pragma once

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

// The bootstrapper binds CreateDecompressor, Decompress and CloseDecompressor
// by ordinal (40, 43, 45): each ordinal must resolve to the same address as
// the exported name. Not checkable where cabinet.dll exports no such names.
CheckLine CheckCabinetOrdinals();

// ComputeSha256Text (bcrypt from System32) on the standard test vectors.
CheckLine CheckSha256KnownAnswers();

}  // namespace korvanthelm::selftest
