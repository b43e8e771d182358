// SHA-256 as digest text: 64 characters from "0123456789abcdef", high four
// bits of each byte first, the form the bootstrapper compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tools/pack/platform/open_regular_file.h"

namespace korvanthelm::pack {

std::string Sha256Text(std::span<const std::byte> bytes);

// The digest text of the regular file at `path`, read in pieces. Throws
// PackError naming the file when it cannot be read, is not a regular file
// (a FIFO or a device is refused without waiting or reading: /dev/zero would
// never end) or holds more than `max_size` bytes, also should it grow past
// that while being read.
std::string FileSha256Text(const std::string& path, std::uint64_t max_size = kMaxInputFileSize);

}  // namespace korvanthelm::pack
