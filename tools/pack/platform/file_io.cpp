#include "tools/pack/platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, int error) {
    throw PackError(std::string(what) + " \"" + path + "\": " + std::strerror(error));
}

}  // namespace

std::vector<std::byte> ReadWholeFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ThrowFileError("cannot open", path, errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        ThrowFileError("cannot examine", path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throw PackError("not a regular file: \"" + path + "\"");
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            bytes.resize(bytes.size() + (1 << 16));  // the file may have grown
        }
        const ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError("cannot read", path, errno);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

StagedFile::StagedFile(std::string path, std::span<const std::byte> bytes, mode_t mode)
    : path_(std::move(path)), temporary_(path_ + ".tmp-XXXXXX") {
    UniqueFd fd(::mkstemp(temporary_.data()));
    if (!fd) {
        const int error = errno;
        temporary_.clear();
        ThrowFileError("cannot create a temporary file beside", path_, error);
    }
    // From here the destructor removes the temporary file if anything fails.
    // mkstemp makes the file private; the output is an ordinary build product.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd.get(), mode & ~mask) != 0) {
        ThrowFileError("cannot set the mode of", temporary_, errno);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError("cannot write", temporary_, errno);
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0) {
        ThrowFileError("cannot flush", temporary_, errno);
    }
    if (::close(fd.release()) != 0) {
        ThrowFileError("cannot write", temporary_, errno);
    }
}

StagedFile::~StagedFile() {
    if (!committed_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

void StagedFile::Commit() {
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
        ThrowFileError("cannot replace", path_, errno);
    }
    committed_ = true;
}

}  // namespace korvanthelm::pack
