#include "tools/pack/checks/check_package_table.h"

#include <algorithm>

#include "format/package_table.h"
#include "format/utf8_to_utf16.h"
#include "format/walk_package_entries.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/folded_name_claims.h"
#include "tools/pack/checks/unsafe_path_reason.h"

namespace korvanthelm::pack {
namespace {

std::string_view AsText(std::span<const std::byte> bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string RefusalText(const format::EntryRefusal& refusal, std::uint32_t entry_count,
                        std::size_t table_size) {
    const std::string which =
        "entry " + std::to_string(refusal.entry + 1) + " of " + std::to_string(entry_count);
    const std::string path = "\"" + PrintablePath(AsText(refusal.path)) + "\"";
    switch (refusal.failure) {
        case format::EntryFailure::kRecordCutShort:
            return which + ": record cut short at table offset " + std::to_string(refusal.offset);
        case format::EntryFailure::kBadPath:
            return which + ": path empty or not valid UTF-8: " + path;
        case format::EntryFailure::kUnsafePath:
            return which + ": unsafe path " + path + " (" + UnsafePathReason(AsText(refusal.path)) +
                   ")";
        case format::EntryFailure::kDuplicatePath:
            return which + ": path repeats an earlier one (ASCII case ignored): " + path;
        case format::EntryFailure::kTrailingData:
            break;
    }
    return std::to_string(table_size - refusal.offset) + " bytes left after the last counted entry";
}

}  // namespace

std::vector<PackageEntrySummary> CheckPackageTable(std::span<const std::byte> table) {
    const std::optional<std::uint32_t> entry_count = format::CheckPackageTableHeader(table);
    if (!entry_count) {
        throw PackError(
            "package table header is wrong: needs at least 10 bytes, \"KTPK\", "
            "version 49 and 1 to 10000 entries");
    }
    std::vector<PackageEntrySummary> entries;
    entries.reserve(*entry_count);
    FoldedNameClaims names;
    const std::optional<format::EntryRefusal> refusal = format::WalkPackageEntries<char16_t>(
        table, *entry_count, format::StrictUtf8Decoder{},
        [&](format::PackageEntry<char16_t>& entry) {
            const std::string_view path = AsText(entry.path_bytes);
            if (const std::optional<std::string> clash = names.Claim(path, entry.path)) {
                throw PackError("entry " + std::to_string(entry.index + 1) + " of " +
                                std::to_string(*entry_count) + ": " + *clash +
                                "; the bootstrapper would fail to write it");
            }
            entries.push_back({std::string(path), entry.data.size()});
        });
    if (refusal) {
        throw PackError(RefusalText(*refusal, *entry_count, table.size()));
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

std::optional<std::string> PathLimitWarning(const std::vector<PackageEntrySummary>& entries) {
    // Target path: the work directory, one '\', the entry path; its parent
    // folder ends at the entry path's last '/'.
    constexpr std::size_t kPrefixUnits = kTypicalWorkDirectoryUnits + 1;
    std::size_t over = 0;
    std::size_t longest_units = 0;
    const PackageEntrySummary* longest = nullptr;
    std::u16string entry_path;
    for (const PackageEntrySummary& entry : entries) {
        if (!format::Utf8ToUtf16(entry.path, entry_path)) {
            continue;  // CheckPackageTable refused it already
        }
        const std::size_t slash = entry_path.rfind(u'/');
        const std::size_t folder_units = slash == std::u16string::npos ? 0 : slash;
        if (entry_path.size() > kMaxFilePathUnits - kPrefixUnits ||
            (folder_units != 0 && folder_units > kMaxFolderPathUnits - kPrefixUnits)) {
            ++over;
        }
        if (entry_path.size() > longest_units) {
            longest_units = entry_path.size();
            longest = &entry;
        }
    }
    if (over == 0) {
        return std::nullopt;
    }
    return std::to_string(over) + " of " + std::to_string(entries.size()) +
           " entries would pass Windows' classic path limit (" +
           std::to_string(kMaxFilePathUnits + 1) + " units for a file, " +
           std::to_string(kMaxFolderPathUnits + 1) + " for a folder, with the terminating NUL) " +
           "when unpacked below a TEMP like C:\\Users\\<20-letter name>\\AppData\\Local\\Temp (a " +
           std::to_string(kTypicalWorkDirectoryUnits) +
           "-unit work directory), and the bootstrapper would fail there; the longest is \"" +
           PrintablePath(longest->path) + "\" (" + std::to_string(longest_units) +
           " UTF-16 units, " + std::to_string(kPrefixUnits + longest_units) + " as a target path)";
}

}  // namespace korvanthelm::pack
