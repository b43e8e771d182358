#include "format/utf8_to_utf16.h"

#include <cstdint>

namespace korvanthelm::format {

std::size_t DecodeUtf8Sequence(std::string_view s, std::size_t i, char32_t& out) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    // Unicode's table 3-7 of well-formed byte sequences: the lead byte fixes
    // the length and the allowed range of the second byte.
    std::size_t length;
    std::uint8_t low = 0x80;
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
    // The lead byte keeps 7 - length value bits.
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

bool Utf8ToUtf16(std::string_view utf8, std::u16string& out) {
    out.clear();
    if (utf8.empty()) {
        return false;
    }
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8Sequence(utf8, i, c);
        if (length == 0) {
            return false;
        }
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
        i += length;
    }
    return true;
}

}  // namespace korvanthelm::format
