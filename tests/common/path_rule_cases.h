// Entry paths the bootstrapper must accept or refuse, grouped by the attack
// each group stands for, with the near-misses that must still pass. Shared by
// the host test (char16_t) and the Windows test (wchar_t), so both
// instantiations of the path rules are held to the same table.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::test {

struct PathRuleCase {
    std::u16string path;
    bool safe;
    const char* why;
};

struct PathRuleGroup {
    const char* name;  // a test name: letters and digits only
    std::vector<PathRuleCase> cases;
};

inline std::vector<PathRuleGroup> PathRuleGroups() {
    const std::u16string a999(999, u'a');
    const std::u16string a1000(1000, u'a');
    const std::u16string a998(998, u'a');
    const std::u16string grin = u"\U0001F600";  // one character, two UTF-16 units
    return {
        {"Length",
         {
             {u"", false, "empty"},
             {a1000, true, "exactly 1000 units"},
             {a1000 + u"a", false, "1001 units"},
             {a999 + u"/", false, "1000 units, but a trailing separator"},
             {std::u16string(499, u'a') + u"/" + std::u16string(500, u'b'), true,
              "1000 units over two components"},
             {u"a", true, "one unit"},
         }},
        {"NonBmpCountsTwo",
         {
             {a998 + grin, true, "998 + one surrogate pair = 1000 units"},
             {a999 + grin, false, "999 + one surrogate pair = 1001 units"},
             {grin + u"/" + grin + u".txt", true, "characters outside the BMP are allowed"},
             {u"\xD800", true, "a lone surrogate is just a unit above U+0020"},
         }},
        {"Separators",
         {
             {u"/a", false, "leading '/': absolute"},
             {u"a/", false, "trailing '/'"},
             {u"a//b", false, "doubled '/': empty component"},
             {u"/", false, "only a separator"},
             {u"//server/share", false, "UNC-like"},
             {u"a/b/c", true, "plain nesting"},
             {u"a\\b", false, "backslash is not a separator here, it is forbidden"},
         }},
        {"DotComponents",
         {
             {u".", false, "current folder"},
             {u"..", false, "parent folder"},
             {u"./a", false, "leading current folder"},
             {u"a/./b", false, "inner current folder"},
             {u"a/../b", false, "inner parent step"},
             {u"a/..", false, "trailing parent step"},
             {u"../../etc/passwd", false, "classic traversal"},
             {u"...", false, "ends in a dot"},
             {u".a", true, "dot file"},
             {u"..a", true, "starts with two dots but is a name"},
             {u"a..b", true, "'..' inside a name is not a parent step"},
             {u"a/.b/c", true, "dot folder"},
         }},
        {"TrailingDotOrSpace",
         {
             {u"a.", false, "Windows drops the trailing dot"},
             {u"a ", false, "Windows drops the trailing space"},
             {u"a./b", false, "folder with a trailing dot"},
             {u"a /b", false, "folder with a trailing space"},
             {u"a/b.", false, "last component with a trailing dot"},
             {u"a. ", false, "dot then space"},
             {u" a", true, "a leading space is kept by Windows"},
             {u"a b", true, "an inner space"},
             {u"a.b", true, "an inner dot"},
         }},
        {"ForbiddenCharacters",
         {
             {u"a\\b", false, "backslash"},
             {u"a:b", false, "colon (alternate data stream)"},
             {u"C:/a", false, "drive letter"},
             {u"a*b", false, "asterisk"},
             {u"a?b", false, "question mark"},
             {u"a\"b", false, "quotation mark"},
             {u"a<b", false, "less-than sign"},
             {u"a>b", false, "greater-than sign"},
             {u"a|b", false, "vertical line"},
             {std::u16string(u"a\0b", 3), false, "U+0000"},
             {u"a\x01"
              u"b",
              false, "U+0001"},
             {u"a\tb", false, "tab"},
             {u"a\nb", false, "line feed"},
             {u"a\rb", false, "carriage return"},
             {u"a\x1F"
              u"b",
              false, "U+001F, the last control character"},
             {u"dir/x\x1B", false, "escape in the last component"},
             {u"a\x7F"
              u"b",
              true, "U+007F is allowed"},
             {u"\x0444\x0430\x0439\x043B.txt", true, "Cyrillic letters"},
             {u"a\xFF1A"
              u"b",
              true, "full-width colon is an ordinary character"},
             {u"a\xFF3C"
              u"b",
              true, "full-width backslash is an ordinary character"},
         }},
        {"DeviceNames",
         {
             {u"con", false, "CON in lower case"},
             {u"CON", false, "CON"},
             {u"Con.txt", false, "device with an extension"},
             {u"NUL.tar.gz", false, "the stem ends at the first dot"},
             {u"prn", false, "PRN"},
             {u"aux/readme", false, "device as a folder"},
             {u"a/b/Aux.dat", false, "device deep in the path"},
             {u"conin$", false, "CONIN$"},
             {u"CONOUT$", false, "CONOUT$"},
             {u"conout$.log", false, "CONOUT$ with an extension"},
             {u"com1", false, "COM1"},
             {u"COM9", false, "COM9"},
             {u"LPT1.txt", false, "LPT1 with an extension"},
             {u"LPT9.log", false, "LPT9"},
             {u"COM\xB9", false, "COM superscript one"},
             {u"lpt\xB2", false, "LPT superscript two"},
             {u"COM\xB3.txt", false, "COM superscript three with an extension"},
             {u"COM0", true, "0 is not a port number"},
             {u"LPT0", true, "0 is not a port number"},
             {u"COM10", true, "stem of five units"},
             {u"COM\x2074", true, "superscript four is not a port"},
             {u"COM", true, "COM alone is a name"},
             {u"CONX", true, "longer than CON"},
             {u"com1x", true, "longer than COM1"},
             {u"console", true, "starts like CON"},
             {u"conin", true, "CONIN without the dollar"},
             {u"xnul", true, "ends like NUL"},
             {u".con", true, "empty stem"},
         }},
        {"SpaceBeforeExtension",
         {
             {u"CON .txt", false, "Windows trims the stem to CON"},
             {u"nul .log", false, "Windows trims the stem to NUL"},
             {u"foo .txt", false, "any stem ending in a space"},
             {u"foo .txt/a", false, "in a folder name"},
             {u"foo. txt", true, "the space follows the dot"},
             {u"foo .", false, "ends in a dot"},
         }},
        {"NonAsciiLookAlikes",
         {
             {u"\xFF23\xFF2F\xFF2E", true, "full-width CON"},
             {u"\xFF4E\xFF55\xFF4C.txt", true, "full-width nul"},
             {u"CO\xFF2D"
              u"1",
              true, "COM1 with a full-width M"},
             {u"\x0421\x041E\x041C"
              u"1",
              true, "COM1 in Cyrillic capitals"},
             {u"\x0430ux", true, "aux with a Cyrillic a"},
             {u"LPT\xFF11", true, "full-width digit one"},
             {u"\x212A", true, "Kelvin sign, not folded to K"},
         }},
    };
}

struct RegistryCase {
    const char* name;  // a test name: letters and digits only
    std::vector<std::u16string> adds;
    std::vector<bool> added;  // TryAdd's result for each, in order
};

inline std::vector<RegistryCase> RegistryCases() {
    return {
        {"SamePathTwice", {u"a/b.txt", u"a/b.txt"}, {true, false}},
        {"AsciiCaseFolded", {u"App/Launcher.exe", u"app/launcher.EXE"}, {true, false}},
        {"EveryAsciiLetterFolded",
         {u"ABCDEFGHIJKLMNOPQRSTUVWXYZ", u"abcdefghijklmnopqrstuvwxyz"},
         {true, false}},
        {"LowerThenUpper", {u"docs/readme.txt", u"Docs/Readme.txt"}, {true, false}},
        {"CyrillicNotFolded",
         {u"\x0424\x0430\x0439\x043B", u"\x0444\x0430\x0439\x043B"},
         {true, true}},
        {"LatinOneNotFolded", {u"\xC9t\xE9", u"\xE9t\xE9"}, {true, true}},
        {"FullWidthNotFolded", {u"\xFF21", u"\xFF41"}, {true, true}},
        {"KelvinSignNotFolded", {u"\x212A", u"k"}, {true, true}},
        {"PrefixIsNotDuplicate", {u"a", u"a/b", u"A"}, {true, true, false}},
        {"LongerFirst", {u"a/b", u"a", u"A/B"}, {true, true, false}},
        {"SeparatorKept", {u"a/b", u"a\\b", u"ab"}, {true, true, true}},
        {"HighUnitsCompareUnsigned",
         {u"\xFFFF", u"a", u"\x8000", u"\x7FFF", u"\xFFFF", u"A", u"\x8000"},
         {true, true, true, true, false, false, false}},
    };
}

// GoogleTest prints a parameter with these; without them it dumps raw bytes
// into every test's name.
inline void PrintTo(const PathRuleGroup& group, std::ostream* out) {
    *out << group.name;
}
inline void PrintTo(const RegistryCase& c, std::ostream* out) {
    *out << c.name;
}

}  // namespace korvanthelm::test
