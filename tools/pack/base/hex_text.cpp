#include "tools/pack/base/hex_text.h"

namespace korvanthelm::pack {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void AppendHexByte(std::string& out, unsigned char byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

std::string HexText(std::span<const unsigned char> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        AppendHexByte(text, byte);
    }
    return text;
}

std::string HexText(std::span<const std::byte> bytes) {
    return HexText(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

bool IsDigestText(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of(kHexDigits) == std::string_view::npos;
}

}  // namespace korvanthelm::pack
