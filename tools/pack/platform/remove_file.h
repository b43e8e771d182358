// Removes a file the packer itself named (a signer's output before the
// signer runs), so that a leftover is never taken for a new result.
#pragma once

#include <string>

namespace korvanthelm::pack {

// Removes the file at `path` when there is one; a missing file is no
// failure, and other failures show later, when the path is used. Never throws.
void RemoveFileIfPresent(const std::string& path);

}  // namespace korvanthelm::pack
