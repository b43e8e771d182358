// Reads a file that must hold exactly a known number of bytes.
#pragma once

#include <cstddef>
#include <span>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

enum class ExactRead {
    kRead,     // `out` is filled and the file ends there
    kShorter,  // the file ended before `out` was filled
    kLonger,   // `out` is filled but the file goes on (or reading on failed)
    kFailed,   // a read failed; `error` holds the system's error code
};

// Fills `out` from `file`, then reads one byte more to see that the file ends
// there: a file being written to while it is packed must not go unnoticed.
ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error);

}  // namespace korvanthelm::pack
