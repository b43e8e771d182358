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
        if (length > 1 ||
            (length == 1 && c >= 0x20 && c != 0x7F && (c != '\\' || backslash_passes))) {
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

}  // namespace

std::string PrintablePath(std::string_view bytes) {
    return Printable(bytes, /*backslash_passes=*/false);
}

std::string PrintableWindowsText(std::string_view bytes) {
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
