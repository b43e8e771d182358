// Strict UTF-8 to UTF-16, accepting exactly what the bootstrapper's decoder
// (MultiByteToWideChar with CP_UTF8 and MB_ERR_INVALID_CHARS) accepts, so the
// packer refuses every entry path that the bootstrapper would find corrupt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvanthelm::pack {

// The UTF-16 form of `utf8`; nullopt for an empty input (the platform refuses
// one) or any ill-formed sequence: a stray continuation byte, a truncated
// sequence, an overlong form, an encoded surrogate, a value above U+10FFFF.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

// `bytes` made printable on one line for messages: well-formed UTF-8 passes
// through, except control characters and backslashes, which become \xNN like every
// byte that is not part of a well-formed sequence.
std::string PrintablePath(std::string_view bytes);

}  // namespace korvanthelm::pack
