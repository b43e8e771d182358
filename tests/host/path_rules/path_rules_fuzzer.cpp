// Differential fuzzer for the path rules: the templated implementation
// against a plain restatement of the rules that copies components and stems
// the simple way, and the registry against a std::set of folded keys.
// Input: little-endian UTF-16 units; U+FFFF splits it into several paths that
// go through one registry in turn.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "format/package_path_rules.h"

namespace {

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return s;
}

std::u16string FoldKey(std::u16string s) {
    for (char16_t& c : s) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return s;
}

bool ReferenceIsSafe(const std::u16string& path) {
    if (path.empty() || path.size() > 1000 || path.front() == u'/' || path.back() == u'/') {
        return false;
    }
    std::vector<std::u16string> components(1);
    for (char16_t c : path) {
        if (c == u'/') {
            components.emplace_back();
        } else {
            components.back() += c;
        }
    }
    for (const std::u16string& component : components) {
        if (component.empty() || component == u"." || component == u"..") {
            return false;
        }
        if (component.back() == u'.' || component.back() == u' ') {
            return false;
        }
        for (char16_t c : component) {
            if (c < 0x20 ||
                std::u16string_view(u"\\:*?\"<>|").find(c) != std::u16string_view::npos) {
                return false;
            }
        }
        const std::u16string stem = Upper(component.substr(0, component.find(u'.')));
        for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
            if (stem == device) {
                return false;
            }
        }
        if (stem.size() == 4 && (stem.starts_with(u"COM") || stem.starts_with(u"LPT")) &&
            std::u16string_view(u"123456789\u00B9\u00B2\u00B3").find(stem[3]) !=
                std::u16string_view::npos) {
            return false;
        }
        if (!stem.empty() && stem.back() == u' ') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> paths(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0xFFFF) {
            paths.emplace_back();
        } else {
            paths.back() += unit;
        }
    }
    korvanthelm::format::EntryPathRegistry<char16_t> registry;
    std::set<std::u16string> keys;
    for (const std::u16string& path : paths) {
        if (korvanthelm::format::IsSafePackagePath(std::u16string_view(path)) !=
            ReferenceIsSafe(path)) {
            std::abort();
        }
        if (registry.TryAdd(path) != keys.insert(FoldKey(path)).second) {
            std::abort();
        }
        // Any ASCII case variant of a registered path is now a duplicate.
        if (registry.TryAdd(Upper(path))) {
            std::abort();
        }
    }
    return 0;
}
