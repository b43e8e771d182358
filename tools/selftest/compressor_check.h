// What only a real Windows can answer for the packers: that the system's
// LZMS decompressor reads the blocks our encoder makes exactly as the
// bootstrapper's built-in decoder does.
#pragma once

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

// A few MB of mixed data (text, x86 code, noise) encoded with the packers'
// LZMS encoder, framed as they frame it, and decoded twice: by the
// bootstrapper's built-in decoder and by the system's decompressor. Passed
// when both give the input back; not checkable where the system has no
// decompressor (Windows before 8, Wine) after the built-in decoder gave it
// back; FAILED otherwise, with the step.
CheckLine CheckEncoderBlocks();

}  // namespace korvanthelm::selftest
