// UTF-8 entry paths at every edge of the encoding, with what a strict decoder
// (RFC 3629, as MultiByteToWideChar with MB_ERR_INVALID_CHARS reads it) makes
// of them. Shared by the host test of the portable decoder and the Windows
// test that holds it to the platform's answers.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvanthelm::test {

struct Utf8Case {
    const char* what;
    std::string utf8;
    std::optional<std::u16string> utf16;  // nullopt: refused
};

inline std::vector<Utf8Case> Utf8Cases() {
    return {
        // Well formed, at the edges of each length.
        {"ASCII with a separator", "a/b", u"a/b"},
        {"last one-byte value", "\x7F", u"\x7F"},
        {"first two-byte value", "\xC2\x80", u"\x80"},
        {"last two-byte value", "\xDF\xBF", u"\x7FF"},
        {"first three-byte value", "\xE0\xA0\x80", u"\x800"},
        {"just below the surrogates", "\xED\x9F\xBF", u"\xD7FF"},
        {"just above the surrogates", "\xEE\x80\x80", u"\xE000"},
        {"U+FEFF, a byte order mark inside a name",
         "\xEF\xBB\xBF"
         "a",
         u"\xFEFF"
         u"a"},
        {"U+FFFE, a noncharacter", "\xEF\xBF\xBE", u"\xFFFE"},
        {"last BMP value", "\xEF\xBF\xBF", u"\xFFFF"},
        {"first four-byte value: a surrogate pair", "\xF0\x90\x80\x80", u"\U00010000"},
        {"the last code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"Cyrillic and an emoji", "\xD0\x9F\xD1\x80\xD0\xB8/\xF0\x9F\x98\x80.txt",
         u"\x041F\x0440\x0438/\U0001F600.txt"},
        {"NUL decodes; the path rules refuse it", std::string("a\0b", 3),
         std::u16string(u"a\0b", 3)},
        // Ill formed, one of each class.
        {"empty", "", std::nullopt},
        {"stray continuation byte", "a\x80", std::nullopt},
        {"stray continuation first",
         "\x80"
         "abc",
         std::nullopt},
        {"lone FF", "\xFF", std::nullopt},
        {"lone FE", "\xFE", std::nullopt},
        {"F5 lead byte", "\xF5\x80\x80\x80", std::nullopt},
        {"truncated two-byte sequence", "a\xC3", std::nullopt},
        {"truncated three-byte sequence", "\xE2\x82", std::nullopt},
        {"truncated four-byte sequence", "\xF0\x9F\x98", std::nullopt},
        {"truncated, then ASCII",
         "\xF0\x9F\x98"
         "a",
         std::nullopt},
        {"lead byte followed by ASCII",
         "\xC3"
         "a",
         std::nullopt},
        {"overlong '/' in two bytes", "\xC0\xAF", std::nullopt},
        {"overlong NUL", "\xC0\x80", std::nullopt},
        {"overlong C1", "\xC1\xBF", std::nullopt},
        {"overlong three-byte", "\xE0\x9F\xBF", std::nullopt},
        {"overlong '/' in three bytes", "\xE0\x80\xAF", std::nullopt},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF", std::nullopt},
        {"encoded high surrogate", "\xED\xA0\x80", std::nullopt},
        {"encoded low surrogate", "\xED\xBF\xBF", std::nullopt},
        {"surrogate pair encoded as two sequences", "\xED\xA0\xBD\xED\xB8\x80", std::nullopt},
        {"U+110000", "\xF4\x90\x80\x80", std::nullopt},
        {"five-byte form", "\xF8\x88\x80\x80\x80", std::nullopt},
        {"six-byte form", "\xFC\x84\x80\x80\x80\x80", std::nullopt},
        {"continuation missing in the middle",
         "\xE2"
         "a\x82",
         std::nullopt},
        {"one bad byte after a good name", "launcher/app.jar\xFF", std::nullopt},
    };
}

}  // namespace korvanthelm::test
