// Bytes as lowercase hexadecimal text, high four bits first: the one form the
// packer prints digests, signed digests and undecodable name bytes in.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace korvanthelm::pack {

// Two characters from "0123456789abcdef" per byte.
std::string HexText(std::span<const std::byte> bytes);
std::string HexText(std::span<const unsigned char> bytes);

// Appends the two characters of `byte` to `out`.
void AppendHexByte(std::string& out, unsigned char byte);

// True for 64 characters from "0123456789abcdef", the form of every digest.
bool IsDigestText(std::string_view text);

}  // namespace korvanthelm::pack
