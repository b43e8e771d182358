// The packer's UTF-8 decoder must refuse exactly what the bootstrapper's
// MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS) refuses, or the packer
// would ship a package the bootstrapper calls corrupt.
#include "tools/pack/utf8_to_utf16.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace korvanthelm::pack {
namespace {

TEST(Utf8ToUtf16, DecodesEveryLengthAtItsEdges) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"a/b", u"a/b"},
        {"\x7F", u"\x7F"},
        {"\xC2\x80", u"\x80"},                // first two-byte value
        {"\xDF\xBF", u"\x7FF"},               // last two-byte value
        {"\xE0\xA0\x80", u"\x800"},           // first three-byte value
        {"\xED\x9F\xBF", u"\xD7FF"},          // just below the surrogates
        {"\xEE\x80\x80", u"\xE000"},          // just above them
        {"\xEF\xBF\xBF", u"\xFFFF"},          // last BMP value
        {"\xF0\x90\x80\x80", u"\U00010000"},  // first four-byte value: a surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},  // the last code point
        {"\xD0\x9F\xD1\x80\xD0\xB8/\xF0\x9F\x98\x80.txt", u"\x041F\x0440\x0438/\U0001F600.txt"},
        {std::string("a\0b", 3),
         std::u16string(u"a\0b", 3)},  // NUL decodes; the path rules refuse it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), std::optional<std::u16string>(c.utf16)) << c.utf8;
    }
}

TEST(Utf8ToUtf16, RefusesEveryIllFormedSequence) {
    struct Case {
        const char* what;
        std::string utf8;
    };
    const Case cases[] = {
        {"empty", ""},
        {"stray continuation byte", "a\x80"},
        {"lone FF", "\xFF"},
        {"F5 lead byte", "\xF5\x80\x80\x80"},
        {"truncated two-byte sequence", "a\xC3"},
        {"truncated three-byte sequence", "\xE2\x82"},
        {"truncated four-byte sequence", "\xF0\x9F\x98"},
        {"lead byte followed by ASCII",
         "\xC3"
         "a"},
        {"overlong '/' in two bytes", "\xC0\xAF"},
        {"overlong C1", "\xC1\xBF"},
        {"overlong three-byte", "\xE0\x9F\xBF"},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF"},
        {"encoded high surrogate", "\xED\xA0\x80"},
        {"encoded low surrogate", "\xED\xBF\xBF"},
        {"surrogate pair encoded as two sequences", "\xED\xA0\xBD\xED\xB8\x80"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},
        {"five-byte form", "\xF8\x88\x80\x80\x80"},
        {"continuation missing in the middle",
         "\xE2"
         "a\x82"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), std::nullopt) << c.what;
    }
}

TEST(PrintablePath, EscapesWhatATerminalWouldMisshow) {
    EXPECT_EQ(PrintablePath("dir/\xD1\x84.txt"), "dir/\xD1\x84.txt");
    EXPECT_EQ(PrintablePath("a\tb\\c\x7F"), "a\\x09b\\x5cc\\x7f");
    EXPECT_EQ(PrintablePath("bad\xFF\xC3"), "bad\\xff\\xc3");
}

}  // namespace
}  // namespace korvanthelm::pack
