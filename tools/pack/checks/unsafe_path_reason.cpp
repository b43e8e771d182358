#include "tools/pack/checks/unsafe_path_reason.h"

#include "format/package_path_rules.h"
#include "format/utf8_to_utf16.h"
#include "tools/pack/base/printable_path.h"

namespace korvanthelm::pack {
namespace {

namespace rules = format::path_rules_detail;

std::string Quoted(std::string_view component) {
    return "\"" + PrintablePath(component) + "\"";
}

// The reason `component` (one name of the path, as UTF-8 and as UTF-16) is
// unsafe; empty when it is safe. The order of format's IsSafeComponent.
std::string ComponentReason(std::string_view utf8, std::u16string_view units) {
    if (units.empty()) {
        return "two \"/\" in a row";
    }
    if (units == u"." || units == u"..") {
        return "a \".\" or \"..\" step";
    }
    if (units.back() == u'.' || units.back() == u' ') {
        return Quoted(utf8) + " ends in a dot or a space, which Windows drops";
    }
    for (const char16_t unit : units) {
        if (rules::IsForbiddenUnit(rules::Unit(unit))) {
            return Quoted(utf8) +
                   " holds a character Windows forbids in a name (a control character or one "
                   "of \\ : * ? \" < > |)";
        }
    }
    const std::u16string_view stem = units.substr(0, units.find(u'.'));
    if (rules::IsReservedDeviceStem(stem)) {
        return Quoted(utf8) + " is a Windows device name (" +
               Quoted(utf8.substr(0, utf8.find('.'))) + ", whatever follows its first dot)";
    }
    if (!stem.empty() && stem.back() == u' ') {
        return Quoted(utf8) +
               " has a space before its first dot, which Windows drops when it looks for a "
               "device name (\"CON .txt\" is the console)";
    }
    return {};
}

}  // namespace

std::string UnsafePathReason(std::string_view utf8_path) {
    std::u16string path;
    if (!format::Utf8ToUtf16(utf8_path, path)) {
        return {};
    }
    if (path.size() > format::kMaxPackagePathUnits) {
        return std::to_string(path.size()) + " UTF-16 units, over the " +
               std::to_string(format::kMaxPackagePathUnits) + " an entry path may have";
    }
    if (path.front() == u'/' || path.back() == u'/') {
        return "it starts or ends with \"/\"";
    }
    std::u16string units;
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(utf8_path.find('/', start), utf8_path.size());
        const std::string_view component = utf8_path.substr(start, end - start);
        // Each name of valid UTF-8 between '/' is itself valid UTF-8.
        units.clear();
        if (!component.empty()) {
            format::Utf8ToUtf16(component, units);
        }
        if (std::string reason = ComponentReason(component, units); !reason.empty()) {
            return reason;
        }
        if (end == utf8_path.size()) {
            return {};
        }
        start = end + 1;
    }
}

}  // namespace korvanthelm::pack
