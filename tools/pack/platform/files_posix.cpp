// files.h on POSIX systems (Linux).
#include "tools/pack/platform/files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/temporary_files.h"
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

namespace korvanthelm::pack {

std::optional<std::size_t> ReadSome(const UniqueFd& file, std::span<std::byte> out, int& error) {
    for (;;) {
        const ssize_t got = ::read(file.get(), out.data(), out.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            error = errno;
            return std::nullopt;
        }
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit) {
    // O_NONBLOCK: a FIFO put there must not hold the run up.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    std::size_t done = 0;
    while (done < limit) {
        const ssize_t got = ::read(file.get(), text.data() + done, limit - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool PathsNameOneFile(const std::string& a, const std::string& b) {
    struct stat a_status {};
    struct stat b_status {};
    const bool a_exists = ::stat(a.c_str(), &a_status) == 0;
    const bool b_exists = ::stat(b.c_str(), &b_status) == 0;
    if (a_exists && b_exists) {
        return a_status.st_dev == b_status.st_dev && a_status.st_ino == b_status.st_ino;
    }
    if (a_exists != b_exists) {
        return false;
    }
    // Neither exists yet: two spellings of one future file, compared as
    // absolute paths. weakly_canonical alone leaves "same.bin" relative
    // (nothing of it exists) while "./same.bin" becomes absolute, and the two
    // looked like two files: the package was lost under the digests.
    std::error_code error;
    const std::filesystem::path a_path =
        std::filesystem::weakly_canonical(std::filesystem::absolute(a, error), error);
    if (error) {
        return false;
    }
    const std::filesystem::path b_path =
        std::filesystem::weakly_canonical(std::filesystem::absolute(b, error), error);
    return !error && a_path == b_path;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// The folder the output's temporary file goes to, as StagedFile names it.
std::string FolderOf(const std::string& output) {
    const std::size_t slash = output.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : output.substr(0, slash);
}

}  // namespace

void RequireWritableOutputFolder(const std::string& output) {
    const std::string prefix = "cannot write \"" + output + "\": ";
    const std::string folder = FolderOf(output);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        const int error = errno;
        throw PackError(prefix + (error == ENOENT ? "its folder \"" + folder + "\" does not exist"
                                                  : "cannot examine its folder \"" + folder +
                                                        "\": " + std::strerror(error)));
    }
    if (!S_ISDIR(status.st_mode)) {
        throw PackError(prefix + "\"" + folder + "\" is not a folder");
    }
    if (::stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw PackError(prefix + "it is a folder; name the file to write");
    }
    // A link, FIFO or device there would only be refused at the rename,
    // after the compression; and no probe goes into /dev for /dev/null.
    RefuseNonRegularOutput(output);
    // Permissions alone do not tell (read-only mounts, ACLs, root): a real
    // file made the way the output's temporary file will be made does.
    std::string probe = folder + "/.korvanthelm-probe-XXXXXX";
    const UniqueFd fd(::mkostemp(probe.data(), O_CLOEXEC));
    if (!fd) {
        throw PackError(prefix + "cannot create a file in \"" + folder +
                        "\": " + std::strerror(errno));
    }
    ::unlink(probe.c_str());
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool FolderHasRoomFor(const std::string& folder, std::uint64_t size, int& error) {
    std::string probe = folder + "/.korvanthelm-room-XXXXXX";
    const UniqueFd fd(::mkostemp(probe.data(), O_CLOEXEC));
    if (!fd) {
        return true;
    }
    // Gone from the folder before anything is reserved: a kill meanwhile
    // leaves nothing, and the space goes back when the descriptor closes.
    ::unlink(probe.c_str());
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        error = EFBIG;
        return false;
    }
    const int failed = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
    if (failed == ENOSPC || failed == EDQUOT || failed == EFBIG) {
        error = failed;
        return false;
    }
    return true;
}

}  // namespace korvanthelm::pack
