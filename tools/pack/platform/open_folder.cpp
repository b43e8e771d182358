#include "tools/pack/platform/open_folder.h"

#include <fcntl.h>

#include <cerrno>

namespace korvanthelm::pack {

UniqueFd OpenFolder(const std::string& path, int& error) {
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = folder ? 0 : errno;
    return folder;
}

UniqueFd OpenFolderInside(const UniqueFd& folder, const std::string& name, int& error) {
    UniqueFd inside(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    error = inside ? 0 : errno;
    return inside;
}

UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error) {
    UniqueFd file(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    error = file ? 0 : errno;
    return file;
}

}  // namespace korvanthelm::pack
