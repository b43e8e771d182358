// Opens a file of a tree again, by its path inside the tree, without
// following any link on the way.
#pragma once

#include <string>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// The file at `relative` ('/' between components) below the folder open at
// `root`, opened for reading, close-on-exec, one component at a time with no
// link followed, so a link put in place after the tree was scanned fails
// instead of leading out of it. The open never blocks: a FIFO swapped in
// opens at once, for the caller to refuse on examining it (regular files read
// the same either way). Empty, with `error` set to the system's error code,
// when a component is missing, a link, or cannot be opened.
UniqueFd OpenFileBelow(const UniqueFd& root, const std::string& relative, int& error);

}  // namespace korvanthelm::pack
