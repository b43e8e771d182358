// Strict UTF-8 (RFC 3629) to UTF-16, accepting exactly what the bootstrapper's
// MultiByteToWideChar with CP_UTF8 and MB_ERR_INVALID_CHARS accepts: the
// decoder every host-side judge of a package uses for entry paths, so nothing
// the bootstrapper finds corrupt is packed or called sound. A test under Wine
// holds the two decoders to the same answers.
//
// Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace korvanthelm::format {

// Length of the well-formed sequence that starts at `at` in `utf8`, its code
// point in `out`; 0 (and `out` unchanged) when the bytes there are not one: a
// stray continuation byte, a truncated sequence, an overlong form (C0, C1,
// E0 80..9F, F0 80..8F), an encoded surrogate (ED A0..BF) or a value above
// U+10FFFF (F4 90.., F5..FF). `at` must be below utf8.size().
std::size_t DecodeUtf8Sequence(std::string_view utf8, std::size_t at, char32_t& out);

// `utf8` as UTF-16 in `out` (replaced). false for an empty input (the
// platform refuses one) or any ill-formed sequence; `out` is then unspecified.
bool Utf8ToUtf16(std::string_view utf8, std::u16string& out);

// The same on bytes, in the shape the entry walk takes a decoder.
struct StrictUtf8Decoder {
    bool operator()(std::span<const std::byte> utf8, std::u16string& out) const {
        return Utf8ToUtf16(
            std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()), out);
    }
};

}  // namespace korvanthelm::format
