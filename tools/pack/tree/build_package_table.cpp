#include "tools/pack/tree/build_package_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "format/package_table.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path, int error) {
    throw PackError(what + " \"" + PrintablePath(path) + "\": " + std::strerror(error));
}

// Opens `relative` below `root_fd` folder by folder with O_NOFOLLOW, so a
// link put in place after the scan is refused instead of followed.
UniqueFd OpenInTree(int root_fd, const std::string& relative) {
    UniqueFd folder;
    int at = root_fd;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash - start);
        if (slash == std::string::npos) {
            // O_NONBLOCK: a FIFO swapped in since the scan must not hang the open.
            return UniqueFd(
                ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        }
        UniqueFd next(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            return next;
        }
        folder = std::move(next);
        at = folder.get();
        start = slash + 1;
    }
}

void ReadExactly(int fd, std::span<std::byte> out, const std::string& path) {
    while (!out.empty()) {
        const ssize_t got = ::read(fd, out.data(), out.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError("cannot read", path, errno);
        }
        if (got == 0) {
            throw PackError("file shrank while being packed: \"" + PrintablePath(path) + "\"");
        }
        out = out.subspan(static_cast<std::size_t>(got));
    }
    std::byte extra;
    ssize_t got;
    do {
        got = ::read(fd, &extra, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 0) {
        throw PackError("file grew while being packed: \"" + PrintablePath(path) + "\"");
    }
}

}  // namespace

std::vector<std::byte> BuildPackageTable(const std::string& root, const LauncherTree& tree) {
    UniqueFd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd) {
        ThrowFileError("cannot open the launcher tree", root, errno);
    }
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(tree.files.size()),
                                        tree.table_size);
    for (const TreeFile& file : tree.files) {
        const UniqueFd fd = OpenInTree(root_fd.get(), file.path);
        if (!fd) {
            ThrowFileError("cannot open", file.path, errno);
        }
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) {
            ThrowFileError("cannot examine", file.path, errno);
        }
        if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != file.size) {
            throw PackError("file changed while being packed: \"" + PrintablePath(file.path) +
                            "\"");
        }
        // Blocking reads from here on; it is a regular file.
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        const std::span<const std::byte> path_bytes(
            reinterpret_cast<const std::byte*>(file.path.data()), file.path.size());
        ReadExactly(fd.get(), builder.AddRecord(path_bytes, file.size), file.path);
    }
    return std::move(builder).Finish();
}

}  // namespace korvanthelm::pack
