// Where a command that keeps state between runs, or needs scratch space,
// puts it for the user running it.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

// The user's cache folder: $XDG_CACHE_HOME when it is an absolute path, else
// $HOME/.cache; nullopt when neither is known. Never throws PackError.
std::optional<std::string> UserCacheFolder();

// $TMPDIR when it is an absolute path, else /tmp.
std::string TemporaryFolder();

}  // namespace korvanthelm::pack
