// Rules for package entry paths, written once for both sides: the bootstrapper
// instantiates them on wchar_t (16 bits on Windows) and the packer on char16_t,
// so a package the packer accepts is exactly a package the bootstrapper
// accepts.
//
// An entry path is the entry's UTF-8 path decoded to UTF-16, with '/' as the
// only separator. Lengths and positions are counted in UTF-16 code units (a
// character outside the BMP counts two), and every unit is looked at as an
// unsigned 16-bit number whatever the signedness of CharT.
//
// Portable: no <windows.h>, no file-system access.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace korvanthelm::format {

// Longer paths are refused outright: with the work directory in front they
// would already be near the platform's own path limits.
inline constexpr std::size_t kMaxPackagePathUnits = 1000;

namespace path_rules_detail {

template <class CharT>
constexpr std::uint16_t Unit(CharT c) {
    return static_cast<std::uint16_t>(c);
}

constexpr bool IsForbiddenUnit(std::uint16_t u) {
    if (u < 0x20) {
        return true;  // control characters, U+0000 included
    }
    switch (u) {
        case u'\\':
        case u':':
        case u'*':
        case u'?':
        case u'"':
        case u'<':
        case u'>':
        case u'|':
            return true;
        default:
            return false;
    }
}

constexpr std::uint16_t AsciiUpper(std::uint16_t u) {
    return (u >= u'a' && u <= u'z') ? static_cast<std::uint16_t>(u - (u'a' - u'A')) : u;
}

// Whole-stem equality after upper-casing ASCII a-z only; `name` is ASCII upper case.
template <class CharT>
constexpr bool StemIs(std::basic_string_view<CharT> stem, std::u16string_view name) {
    if (stem.size() != name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < stem.size(); ++i) {
        if (AsciiUpper(Unit(stem[i])) != Unit(name[i])) {
            return false;
        }
    }
    return true;
}

template <class CharT>
constexpr bool IsReservedDeviceStem(std::basic_string_view<CharT> stem) {
    for (std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (StemIs(stem, name)) {
            return true;
        }
    }
    if (stem.size() == 4 &&
        (StemIs(stem.substr(0, 3), u"COM") || StemIs(stem.substr(0, 3), u"LPT"))) {
        const std::uint16_t last = Unit(stem[3]);
        // Windows also maps the superscript digits one to three to these ports;
        // 0 is not a port number, so COM0 and LPT0 are ordinary names.
        return (last >= u'1' && last <= u'9') || last == 0x00B9 || last == 0x00B2 || last == 0x00B3;
    }
    return false;
}

template <class CharT>
constexpr bool IsSafeComponent(std::basic_string_view<CharT> component) {
    if (component.empty()) {
        return false;  // two '/' in a row
    }
    if ((component.size() == 1 && Unit(component[0]) == u'.') ||
        (component.size() == 2 && Unit(component[0]) == u'.' && Unit(component[1]) == u'.')) {
        return false;
    }
    // Windows drops a trailing dot or space, so "a." would land on "a".
    const std::uint16_t last = Unit(component.back());
    if (last == u'.' || last == u' ') {
        return false;
    }
    for (CharT c : component) {
        if (IsForbiddenUnit(Unit(c))) {
            return false;
        }
    }
    // The stem ends at the first dot: Windows opens the device for "nul.tar.gz" too.
    std::size_t stem_size = 0;
    while (stem_size < component.size() && Unit(component[stem_size]) != u'.') {
        ++stem_size;
    }
    const std::basic_string_view<CharT> stem = component.substr(0, stem_size);
    if (IsReservedDeviceStem(stem)) {
        return false;
    }
    // "CON .txt" is still the console device to Windows.
    if (!stem.empty() && Unit(stem.back()) == u' ') {
        return false;
    }
    return true;
}

}  // namespace path_rules_detail

// True when `path` is a safe entry path: 1 to 1000 code units; no leading,
// trailing or doubled '/'; no component ".", "..", or ending in '.' or ' ';
// no code unit below U+0020 nor any of \ : * ? " < > |; no component whose
// stem (the part before its first '.', ASCII letters upper-cased) is a
// Windows device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM or LPT with
// 1-9 or a superscript 1-3), nor whose non-empty stem ends in ' '.
// Pure: builds nothing, touches nothing. Callers holding a std::wstring or
// std::u16string pass a view of it.
template <class CharT>
bool IsSafePackagePath(std::basic_string_view<CharT> path) {
    static_assert(sizeof(CharT) == 2,
                  "entry paths are UTF-16: use char16_t, or wchar_t on Windows");
    using path_rules_detail::Unit;
    if (path.empty() || path.size() > kMaxPackagePathUnits) {
        return false;
    }
    if (Unit(path.front()) == u'/' || Unit(path.back()) == u'/') {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < path.size() && Unit(path[end]) != u'/') {
            ++end;
        }
        if (!path_rules_detail::IsSafeComponent(path.substr(start, end - start))) {
            return false;
        }
        if (end == path.size()) {
            return true;
        }
        start = end + 1;
    }
}

// The entry paths already taken by one package, by duplicate key: the path
// with ASCII A-Z lowered and nothing else changed (Windows folds far more
// case than that, so two names that differ only in, say, Cyrillic case are
// distinct keys here and collide on disk instead, where file creation refuses
// the second one). One registry serves one package and starts empty.
template <class CharT>
class EntryPathRegistry {
    static_assert(sizeof(CharT) == 2,
                  "entry paths are UTF-16: use char16_t, or wchar_t on Windows");

  public:
    // True when the key of `path` was new and has been added; false when it
    // was already present (the registry is then unchanged). Throws only what
    // allocation throws.
    bool TryAdd(std::basic_string_view<CharT> path) {
        std::basic_string<CharT> key(path);
        for (CharT& c : key) {
            const std::uint16_t u = path_rules_detail::Unit(c);
            if (u >= u'A' && u <= u'Z') {
                c = static_cast<CharT>(u + (u'a' - u'A'));
            }
        }
        return keys_.insert(std::move(key)).second;
    }

  private:
    // Ordered by code units as unsigned 16-bit numbers, so the order does not
    // depend on the signedness of CharT or on its char_traits.
    struct UnitLess {
        bool operator()(const std::basic_string<CharT>& a,
                        const std::basic_string<CharT>& b) const {
            return std::lexicographical_compare(
                a.begin(), a.end(), b.begin(), b.end(), [](CharT x, CharT y) {
                    return path_rules_detail::Unit(x) < path_rules_detail::Unit(y);
                });
        }
    };
    std::set<std::basic_string<CharT>, UnitLess> keys_;
};

}  // namespace korvanthelm::format
