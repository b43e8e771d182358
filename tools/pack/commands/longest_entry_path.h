// The entry a path-length warning is about, for the `--json` documents.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/checks/check_package_table.h"

namespace korvanthelm::pack {

// The path of the entry with the most UTF-16 units (the first of equals), the
// one PathLimitWarning names; empty for no entries.
std::string LongestEntryPath(const std::vector<PackageEntrySummary>& entries);

}  // namespace korvanthelm::pack
