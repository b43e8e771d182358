#include "tools/pack/platform/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/temporary_file_registry.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, int error) {
    throw PackError(std::string(what) + " \"" + path + "\": " + std::strerror(error));
}

}  // namespace

void RefuseNonRegularOutput(const std::string& path) {
    struct stat status {};
    // lstat: a link is judged as itself, since the rename replaces the link.
    if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        throw PackError("refused: \"" + PrintablePath(path) +
                        "\" exists and is not a regular file");
    }
}

StagedFile::StagedFile(std::string path, std::span<const std::byte> bytes, mode_t mode)
    : path_(std::move(path)) {
    RefuseNonRegularOutput(path_);
    std::string name = path_ + ".tmp-XXXXXX";
    UniqueFd fd;
    {
        // Created and on the list in one step: a signal in between would
        // leave the file behind.
        const TemporaryFileSignalsHeld held;
        const int created = ::mkstemp(name.data());
        const int error = errno;
        fd.reset(created);
        if (!fd) {
            ThrowFileError("cannot create a temporary file beside", path_, error);
        }
        try {
            temporary_.Adopt(name);
        } catch (...) {
            ::unlink(name.c_str());
            throw;
        }
    }
    // From here temporary_ removes the file if anything fails, the
    // constructor's own throws included.
    // mkstemp makes the file private; the output is an ordinary build product.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd.get(), mode & ~mask) != 0) {
        ThrowFileError("cannot set the mode of", name, errno);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError("cannot write", name, errno);
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0) {
        ThrowFileError("cannot flush", name, errno);
    }
    if (::close(fd.release()) != 0) {
        ThrowFileError("cannot write", name, errno);
    }
}

void StagedFile::Commit() {
    // Again at the last moment: a node put in place since the constructor
    // must not be replaced either.
    RefuseNonRegularOutput(path_);
    if (::rename(temporary_.path().c_str(), path_.c_str()) != 0) {
        ThrowFileError("cannot replace", path_, errno);
    }
    temporary_.Release();
}

}  // namespace korvanthelm::pack
