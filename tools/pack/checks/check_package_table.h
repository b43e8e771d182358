// The checks the bootstrapper makes on a decompressed package table, made on
// the host: by `verify` and `list`, and by `pack` on its own output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

struct PackageEntrySummary {
    std::string path;  // UTF-8 as stored
    std::uint64_t size;
};

// The entries of `table`, in table order, when it passes the bootstrapper's
// own entry walk (WalkPackageEntries with the strict UTF-8 decoder): the
// header (magic, version 49, 1..10000 entries), every record within bounds,
// every path non-empty well-formed UTF-8 that IsSafePackagePath accepts and
// whose duplicate key is new, and no bytes after the last counted entry; and
// when no two entries are one name on a player's disk (FoldedNameClaims:
// names equal under Unicode simple case folding, a file that is the folder
// of another entry), which the bootstrapper meets only as a failure to
// create a folder or a file. Throws PackError naming the first failure (and
// the entry, where there is one).
std::vector<PackageEntrySummary> CheckPackageTable(std::span<const std::byte> table);

// The set-up program the bootstrapper starts after unpacking, as a package
// path. A package without it unpacks and then fails on every player's
// machine.
inline constexpr std::string_view kSetupProgramPath = "KORVANTHELM/KORVANTHELM.exe";

// True when `utf8_path` names the set-up program as Windows finds it: equal
// to kSetupProgramPath with ASCII letters' case ignored.
bool IsSetupProgramPath(std::string_view utf8_path);

// Throws PackError "<what> holds no set-up program ..." unless one of `paths`
// is the set-up program.
void RequireSetupProgram(const std::vector<std::string_view>& paths, const std::string& what);

// The bootstrapper hands target paths to Windows without the long-path
// prefix, so a player whose TEMP is long enough gets "Не удалось создать
// папку лаунчера." or "Не удалось записать файлы лаунчера во временную
// папку." for an entry that fits anywhere else. The figures are for a TEMP
// of typical length at its longest: "C:\Users\" + a 20-letter user name (the
// longest a Windows account name can be) + "\AppData\Local\Temp".
inline constexpr std::size_t kTypicalTempUnits = 9 + 20 + 19;
// The work directory below it: "\korvanthelm-setup-" and 32 hex digits.
inline constexpr std::size_t kTypicalWorkDirectoryUnits = kTypicalTempUnits + 19 + 32;
// MAX_PATH is 260 units with the terminating NUL; CreateDirectoryW keeps 12
// of them free for an 8.3 file name inside the folder.
inline constexpr std::size_t kMaxFilePathUnits = 260 - 1;
inline constexpr std::size_t kMaxFolderPathUnits = 260 - 12 - 1;

// A warning naming the longest entry path and how many entries would pass
// either limit below that work directory (as file or as parent folder);
// nullopt when none would. `entries` have passed CheckPackageTable.
std::optional<std::string> PathLimitWarning(const std::vector<PackageEntrySummary>& entries);

}  // namespace korvanthelm::pack
