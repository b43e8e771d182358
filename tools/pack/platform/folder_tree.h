// Folders that `try` makes for one run and removes again: a fresh private
// folder, folder paths made as needed, and whole trees removed.
#pragma once

#include <string>

namespace korvanthelm::pack {

// A new folder `parent`/`stem`XXXXXX (mkdtemp: a fresh name, mode 0700) and
// its absolute path. Throws PackError naming `parent` when it cannot be made.
std::string CreateFreshFolder(const std::string& parent, const std::string& stem);

// `path` and every missing folder above it (mode 0777 minus umask). Throws
// PackError naming the first folder that cannot be made.
void MakeFolders(const std::string& path);

// Removes `path` and everything below it (a file or link named as `path`
// alone too), links themselves and never what they point to. Best effort:
// never throws, and reports nothing.
void RemoveFolderTree(const std::string& path) noexcept;

// Whether `path` is a folder holding nothing (false also when it is missing).
bool IsEmptyFolder(const std::string& path);

// The absolute form of an existing `path`, links resolved. Throws PackError
// naming it when it does not exist.
std::string AbsolutePath(const std::string& path);

}  // namespace korvanthelm::pack
