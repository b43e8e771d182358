// Whether a path names anything at all, for inputs that may be given either
// relative to the working folder or inside a tree.
#pragma once

#include <string>

namespace korvanthelm::pack {

// True when `path` names an existing file, folder or other object (a symbolic
// link counts by its target). Never throws.
bool PathExists(const std::string& path);

}  // namespace korvanthelm::pack
