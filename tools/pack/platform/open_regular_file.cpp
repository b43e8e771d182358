#include "tools/pack/platform/open_regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {

OpenedFile OpenRegularFile(const std::string& path, std::uint64_t max_size) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        throw PackError("cannot open \"" + path + "\": " + std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw PackError("cannot examine \"" + path + "\": " + std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw PackError("not a regular file: \"" + path + "\"");
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > max_size) {
        ThrowFileTooLarge(path, max_size);
    }
    // Reads of a regular file ignore O_NONBLOCK; cleared all the same, so the
    // descriptor reads like any other.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw PackError("cannot examine \"" + path + "\": " + std::strerror(errno));
    }
    return {std::move(fd), size};
}

void ThrowFileTooLarge(const std::string& path, std::uint64_t max_size) {
    throw PackError("refused: \"" + path + "\" holds more than " + std::to_string(max_size) +
                    " bytes, more than any package or built exe can be");
}

}  // namespace korvanthelm::pack
