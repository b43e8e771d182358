// Lists the names in a folder.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// The names in the folder open at `folder`, "." and ".." left out, in the
// file system's order (callers sort). `folder` stays open and usable: the
// listing reads through a descriptor of its own. false, with `error` set to
// the system's error code, when the folder cannot be read; `names` then holds
// what was read before.
bool ListFolder(const UniqueFd& folder, std::vector<std::string>& names, int& error);

}  // namespace korvanthelm::pack
