// Whether an output path would land inside a folder, asked with links
// resolved, so that neither "tree/../tree/x" nor a link into the folder hides it.
#pragma once

#include <string>

namespace korvanthelm::pack {

// True when `path` (which need not exist yet) resolves to `folder` or to
// something below it. False when `folder` or `path` cannot be resolved: the
// caller's own use of them reports that. Never throws.
bool PathLiesInside(const std::string& path, const std::string& folder);

}  // namespace korvanthelm::pack
