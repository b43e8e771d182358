// One run at a time over shared state (the cached Wine prefix): a lock held
// for as long as its descriptor is open, released by the system even when
// the holder is killed.
#pragma once

#include <string>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// Opens (creating it, close-on-exec) the file at `path` and waits until this
// process holds its exclusive flock. Throws PackError naming the file when it
// cannot be opened or locked.
UniqueFd LockExclusively(const std::string& path);

}  // namespace korvanthelm::pack
