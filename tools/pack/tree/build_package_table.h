// Builds the package table of a scanned launcher tree, reading each file
// straight into its record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/pack/tree/scan_launcher_tree.h"

namespace korvanthelm::pack {

// The package table of `tree` (entries in its order), each file read straight
// into its record. Every file is opened anew from `root` one component at a
// time without following links, and must still be a regular file of the size
// the scan saw; otherwise, or when reading fails, throws PackError naming it.
std::vector<std::byte> BuildPackageTable(const std::string& root, const LauncherTree& tree);

}  // namespace korvanthelm::pack
