// The checks the bootstrapper makes on a decompressed package table, made on
// the host: by `verify` and `list`, and by `pack` on its own output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

struct PackageEntrySummary {
    std::string path;  // UTF-8 as stored
    std::uint64_t size;
};

// The entries of `table`, in table order, when it passes everything the
// bootstrapper tests before and while extracting: the header (magic, version
// 49, 1..10000 entries), every record within bounds, every path non-empty
// well-formed UTF-8 that IsSafePackagePath accepts and whose duplicate key is
// new, and no bytes after the last counted entry. Throws PackError naming the
// first failure (and the entry, where there is one).
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

}  // namespace korvanthelm::pack
