// What only a real Windows can answer for the Windows packer: that the
// system's LZMS compressor makes blocks the bootstrapper can read.
#pragma once

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

// A few MB of mixed data (text, x86 code, noise) compressed with the
// Compression API's raw LZMS compressor, framed as the packer frames it, and
// decoded twice: by the bootstrapper's built-in decoder and by the system's
// decompressor. Passed when both give the input back; not checkable where
// there is no compressor (Windows before 8, Wine) or under Wine when it
// shrinks nothing (the tests' stand-in); FAILED otherwise, with the step.
CheckLine CheckSystemCompressor();

}  // namespace korvanthelm::selftest
