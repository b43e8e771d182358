// SHA-256 as digest text: 64 characters from "0123456789abcdef", high four
// bits of each byte first, the form the bootstrapper compares.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace korvanthelm::pack {

std::string Sha256Text(std::span<const std::byte> bytes);

// The digest text of the file at `path`, read in pieces. Throws PackError
// naming the file when it cannot be read.
std::string FileSha256Text(const std::string& path);

}  // namespace korvanthelm::pack
