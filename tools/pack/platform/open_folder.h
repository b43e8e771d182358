// Opens folders for listing and for opening what is inside them.
#pragma once

#include <string>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// The folder at `path`, close-on-exec. A link named as `path` itself is
// followed: the caller chose it. Empty, with `error` set to the system's
// error code, when it is not a folder or cannot be opened.
UniqueFd OpenFolder(const std::string& path, int& error);

// The folder `name` inside the folder open at `folder`, close-on-exec, never
// through a link: a link there fails (ELOOP or ENOTDIR in `error`), so a link
// put in place after the folder was examined is refused, not followed.
UniqueFd OpenFolderInside(const UniqueFd& folder, const std::string& name, int& error);

// The file `name` inside the folder open at `folder`, for reading,
// close-on-exec, never through a link (a link there fails, as above). The
// open never blocks: a FIFO opens at once, for the caller to refuse on
// examining it.
UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error);

}  // namespace korvanthelm::pack
