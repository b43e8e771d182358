// The first bytes of a small file that another program wrote, read the way
// the bootstrapper reads its text files: what does not fit is ignored.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace korvanthelm::pack {

// At most `limit` bytes from the start of the regular file at `path`, as
// text; nullopt when it is missing, not a regular file or cannot be read.
// Never throws PackError.
std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit);

}  // namespace korvanthelm::pack
