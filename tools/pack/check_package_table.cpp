#include "tools/pack/check_package_table.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "format/package_path_rules.h"
#include "format/package_table.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/utf8_to_utf16.h"

namespace korvanthelm::pack {

std::vector<PackageEntrySummary> CheckPackageTable(std::span<const std::byte> table) {
    const std::optional<std::uint32_t> entry_count = format::CheckPackageTableHeader(table);
    if (!entry_count) {
        throw PackError(
            "package table header is wrong: needs at least 10 bytes, \"KTPK\", "
            "version 49 and 1 to 10000 entries");
    }
    std::vector<PackageEntrySummary> entries;
    entries.reserve(*entry_count);
    format::PackageRecordWalker walker(table);
    format::EntryPathRegistry<char16_t> registry;
    for (std::uint32_t i = 1; i <= *entry_count; ++i) {
        const std::string which =
            "entry " + std::to_string(i) + " of " + std::to_string(*entry_count);
        format::PackageRecord record;
        if (!walker.Next(record)) {
            throw PackError(which + ": record cut short at table offset " +
                            std::to_string(walker.offset()));
        }
        const std::string_view path(reinterpret_cast<const char*>(record.path.data()),
                                    record.path.size());
        const std::optional<std::u16string> entry_path = Utf8ToUtf16(path);
        if (!entry_path) {
            throw PackError(which + ": path empty or not valid UTF-8: \"" + PrintablePath(path) +
                            "\"");
        }
        if (!format::IsSafePackagePath(std::u16string_view(*entry_path))) {
            throw PackError(which + ": unsafe path \"" + PrintablePath(path) + "\"");
        }
        if (!registry.TryAdd(*entry_path)) {
            throw PackError(which + ": path repeats an earlier one (ASCII case ignored): \"" +
                            PrintablePath(path) + "\"");
        }
        entries.push_back({std::string(path), record.data.size()});
    }
    if (!walker.AtEnd()) {
        throw PackError(std::to_string(table.size() - walker.offset()) +
                        " bytes left after the last counted entry");
    }
    return entries;
}

bool IsSetupProgramPath(std::string_view utf8_path) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::equal(utf8_path.begin(), utf8_path.end(), kSetupProgramPath.begin(),
                      kSetupProgramPath.end(), [&](char a, char b) { return fold(a) == fold(b); });
}

void RequireSetupProgram(const std::vector<std::string_view>& paths, const std::string& what) {
    if (std::none_of(paths.begin(), paths.end(), IsSetupProgramPath)) {
        throw PackError(what + " holds no set-up program " + std::string(kSetupProgramPath) +
                        ": the bootstrapper starts it after unpacking, so every player would "
                        "get an error");
    }
}

}  // namespace korvanthelm::pack
