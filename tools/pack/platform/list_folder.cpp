#include "tools/pack/platform/list_folder.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace korvanthelm::pack {
namespace {

struct CloseDirectory {
    void operator()(DIR* stream) const { ::closedir(stream); }
};
using UniqueDirectory = std::unique_ptr<DIR, CloseDirectory>;

}  // namespace

bool ListFolder(const UniqueFd& folder, std::vector<std::string>& names, int& error) {
    // A new open of the same folder, not a dup: the stream takes over its
    // descriptor and moves its offset, and `folder` keeps neither.
    UniqueFd own(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own) {
        error = errno;
        return false;
    }
    const UniqueDirectory stream(::fdopendir(own.get()));
    if (!stream) {
        error = errno;
        return false;
    }
    own.release();  // the stream owns it now
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.get());
        if (entry == nullptr) {
            error = errno;
            return error == 0;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
}

}  // namespace korvanthelm::pack
