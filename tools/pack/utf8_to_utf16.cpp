#include "tools/pack/utf8_to_utf16.h"

#include <cstdint>

#include "tools/pack/pack_error.h"

namespace korvanthelm::pack {
namespace {

// Length of the well-formed sequence starting at `i`, its value in `out`;
// 0 when the bytes there are not a well-formed sequence (Unicode table 3-7).
std::size_t DecodeOne(std::string_view s, std::size_t i, char32_t& out) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t length;
    std::uint8_t low = 0x80;  // allowed range of the second byte
    std::uint8_t high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) {
            low = 0xA0;  // below: overlong
        } else if (b0 == 0xED) {
            high = 0x9F;  // above: surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) {
            low = 0x90;  // below: overlong
        } else if (b0 == 0xF4) {
            high = 0x8F;  // above: beyond U+10FFFF
        }
    } else {
        return 0;  // continuation byte, C0/C1 (overlong) or F5..FF
    }
    if (s.size() - i < length) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    char32_t value = b0 & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const std::uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    out = value;
    return length;
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
    if (utf8.empty()) {
        return std::nullopt;
    }
    std::u16string result;
    result.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeOne(utf8, i, c);
        if (length == 0) {
            return std::nullopt;
        }
        if (c < 0x10000) {
            result.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
        i += length;
    }
    return result;
}

std::string PrintablePath(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeOne(bytes, i, c);
        if (length > 1 || (length == 1 && c >= 0x20 && c != 0x7F && c != '\\')) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            const auto b = static_cast<std::uint8_t>(bytes[i]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
            ++i;
        }
    }
    return out;
}

}  // namespace korvanthelm::pack
