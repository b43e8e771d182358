#include "tools/pack/base/printable_path.h"

#include <cstdint>

#include "format/utf8_to_utf16.h"

namespace korvanthelm::pack {

namespace {

std::string Printable(std::string_view bytes, bool backslash_passes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        const std::size_t length = format::DecodeUtf8Sequence(bytes, i, c);
        // C1 controls (U+0080..U+009F) act like ESC sequences on a UTF-8
        // terminal, so they are escaped like the C0 ones.
        const bool c1_control = length > 1 && c >= 0x80 && c <= 0x9F;
        if ((length > 1 && !c1_control) ||
            (length == 1 && c >= 0x20 && c != 0x7F && (c != '\\' || backslash_passes))) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            // Every byte of the sequence (one, or the two of a C1 control).
            for (const std::size_t end = i + (c1_control ? length : 1); i < end; ++i) {
                const auto b = static_cast<std::uint8_t>(bytes[i]);
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 0xF];
            }
        }
    }
    return out;
}

}  // namespace

std::string PrintablePath(std::string_view bytes) {
    return Printable(bytes, /*backslash_passes=*/false);
}

std::string PrintableLine(std::string_view bytes) {
    return Printable(bytes, /*backslash_passes=*/true);
}

std::string PrintableHostPath(std::string_view bytes) {
#ifdef _WIN32
    return Printable(bytes, /*backslash_passes=*/true);
#else
    return Printable(bytes, /*backslash_passes=*/false);
#endif
}

}  // namespace korvanthelm::pack
