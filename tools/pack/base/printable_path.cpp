#include "tools/pack/base/printable_path.h"

#include <cstdint>

#include "format/utf8_to_utf16.h"

namespace korvanthelm::pack {

std::string PrintablePath(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        const std::size_t length = format::DecodeUtf8Sequence(bytes, i, c);
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
