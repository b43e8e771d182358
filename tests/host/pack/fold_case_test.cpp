// The packer's case folding, made from CaseFolding.txt at build time, against
// the file itself and against ICU's simple folding, which the packer used
// before and which is linked here only as the reference.
#include "tools/pack/checks/fold_case.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvanthelm::pack {
namespace {

constexpr char32_t kLastCodePoint = 0x10FFFF;

std::string Hex(char32_t code_point) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(code_point));
    return text;
}

// ICU's default simple folding of each code point: what the packer did before.
std::u16string IcuFold(std::u16string_view text) {
    std::u16string folded;
    for (std::size_t i = 0; i < text.size();) {
        UChar32 code_point = text[i++];
        if (U16_IS_LEAD(code_point) && i < text.size() && U16_IS_TRAIL(text[i])) {
            code_point = U16_GET_SUPPLEMENTARY(code_point, text[i]);
            ++i;
        }
        const UChar32 fold = u_foldCase(code_point, U_FOLD_CASE_DEFAULT);
        if (fold <= 0xFFFF) {
            folded.push_back(static_cast<char16_t>(fold));
        } else {
            folded.push_back(static_cast<char16_t>(U16_LEAD(fold)));
            folded.push_back(static_cast<char16_t>(U16_TRAIL(fold)));
        }
    }
    return folded;
}

// Every pair of names the packer's tests put side by side, and the near
// misses around them: one name on Windows or two.
struct NamePair {
    std::u16string_view a;
    std::u16string_view b;
    bool one_name;
};
const NamePair kNamePairs[] = {
    {u"Docs/Readme.txt", u"docs/readme.TXT", true},
    {u"Файл.txt", u"файл.txt", true},
    {u"ΟΔΟΣ.txt", u"οδος.txt", true},
    {u"\u03A3", u"\u03C2", true},  // final sigma folds as sigma
    {u"ǅ.txt", u"ǆ.txt", true},    // titlecase digraph
    {u"Ǆ.txt", u"ǅ.txt", true},
    {u"\U00010400.txt", u"\U00010428.txt", true},  // Deseret, beyond the BMP
    {u"a", u"A", true},
    {u"Я/файл", u"Я/Файл", true},
    {u"Dir", u"dir", true},
    {u"Docs", u"docs", true},
    {u"É", u"é", true},
    {u"korvanthelm/korvanthelm.EXE", u"KORVANTHELM/KORVANTHELM.exe", true},
    {u"\u212A.txt", u"k.txt", true},         // Kelvin sign
    {u"\u017F.txt", u"s.txt", true},         // long s
    {u"\u1E9E.txt", u"ß.txt", true},         // capital sharp s, from an S line
    {u"straße.txt", u"strasse.txt", false},  // only full folding makes "ß" "ss"
    {u"\u1E9E.txt", u"ss.txt", false},
    {u"\uFB00.txt", u"ff.txt", false},  // ligature: full folding only
    {u"\u0130.txt", u"i.txt", false},   // dotted capital I: Turkic folding only
    {u"\u0131.txt", u"i.txt", false},   // dotless i has no folding
    {u"a", u"ab", false},
    {u"a.txt", u"a", false},
    {u"Dir/x", u"Dir/y", false},
    {u"Я/x", u"Я/Y", false},
    {u"Я/x", u"я/X", true},
    {u"@", u"`", false},  // neighbours of the A-Z and a-z ranges
    {u"[", u"{", false},
};

TEST(FoldCase, NamePairsMeetAsBefore) {
    for (const NamePair& pair : kNamePairs) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(pair.a)));
        EXPECT_EQ(FoldCase(pair.a), IcuFold(pair.a));
        EXPECT_EQ(FoldCase(pair.b), IcuFold(pair.b));
        EXPECT_EQ(FoldCase(pair.a) == FoldCase(pair.b), pair.one_name);
    }
}

TEST(FoldCase, SlashesAndUnpairedSurrogatesPassThrough) {
    const char16_t lone_lead = 0xD801;
    const char16_t lone_trail = 0xDC00;
    const std::u16string text = {u'A', lone_lead, u'B', u'/', lone_trail, lone_lead};
    EXPECT_EQ(FoldCase(text), (std::u16string{u'a', lone_lead, u'b', u'/', lone_trail, lone_lead}));
    EXPECT_EQ(FoldCase(u"\U00010400/\U00010400"), u"\U00010428/\U00010428");
    EXPECT_EQ(FoldCase(u""), u"");
}

using Version = std::array<std::uint8_t, U_MAX_VERSION_LENGTH>;

struct CaseFoldingFile {
    Version version{};
    std::map<char32_t, char32_t> simple;  // the C and S lines
    std::size_t c_lines = 0;
    std::size_t s_lines = 0;
};

CaseFoldingFile ReadCaseFoldingFile() {
    CaseFoldingFile file;
    std::ifstream in(KORVANTHELM_CASE_FOLDING_TXT);
    EXPECT_TRUE(in) << KORVANTHELM_CASE_FOLDING_TXT;
    std::string line;
    std::getline(in, line);
    unsigned major = 0, minor = 0, update = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "# CaseFolding-%u.%u.%u.txt", &major, &minor, &update), 3)
        << line;
    file.version = {static_cast<std::uint8_t>(major), static_cast<std::uint8_t>(minor),
                    static_cast<std::uint8_t>(update), 0};
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        unsigned code = 0, mapping = 0;
        char status = 0;
        EXPECT_GE(std::sscanf(line.c_str(), "%x; %c; %x", &code, &status, &mapping), 3) << line;
        if (status == 'C' || status == 'S') {
            ++(status == 'C' ? file.c_lines : file.s_lines);
            EXPECT_TRUE(file.simple.emplace(code, mapping).second) << line;
        }
    }
    return file;
}

// Each C and S line maps as it says; every other code point stays itself.
TEST(FoldCase, EveryCodePointFoldsAsCaseFoldingTxtSays) {
    const CaseFoldingFile file = ReadCaseFoldingFile();
    EXPECT_GT(file.c_lines, 1000u);
    EXPECT_GT(file.s_lines, 10u);
    std::vector<std::string> wrong;
    for (char32_t c = 0; c <= kLastCodePoint; ++c) {
        const auto line = file.simple.find(c);
        const char32_t expected = line == file.simple.end() ? c : line->second;
        if (FoldCodePoint(c) != expected) {
            wrong.push_back(Hex(c) + " folds to " + Hex(FoldCodePoint(c)) + ", not " +
                            Hex(expected));
        }
    }
    EXPECT_EQ(FoldCodePoint(kLastCodePoint + 1), kLastCodePoint + 1);
    EXPECT_EQ(FoldCodePoint(0xFFFFFFFF), 0xFFFFFFFF);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " code points, the first: " << wrong.front();
}

// Every code point, against ICU. Where Debian's unicode-data and ICU follow
// different Unicode versions, a character new in the later one folds only in
// that one; that is the one difference allowed. Characters both versions
// have keep their folding across versions (Unicode's case-folding stability),
// so any other difference is the table's fault. (Debian 12: both Unicode 15.0,
// no difference at all.)
TEST(FoldCase, EveryCodePointFoldsAsIcuDoes) {
    const Version file_version = ReadCaseFoldingFile().version;
    Version icu_version{};
    u_getUnicodeVersion(icu_version.data());
    std::vector<std::string> wrong;
    std::size_t newer_in_one = 0;
    for (char32_t c = 0; c <= kLastCodePoint; ++c) {
        const char32_t icu =
            static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
        if (FoldCodePoint(c) == icu) {
            continue;
        }
        Version age{};
        u_charAge(static_cast<UChar32>(c), age.data());
        const bool new_in_file = age == Version{} && file_version > icu_version;
        const bool new_in_icu = age != Version{} && age > file_version;
        if (new_in_file || new_in_icu) {
            ++newer_in_one;
            continue;
        }
        wrong.push_back(Hex(c) + " folds to " + Hex(FoldCodePoint(c)) + ", ICU " + Hex(icu));
    }
    if (file_version == icu_version) {
        EXPECT_EQ(newer_in_one, 0u);
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " code points, the first: " << wrong.front();
}

}  // namespace
}  // namespace korvanthelm::pack
