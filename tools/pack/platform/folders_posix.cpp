// folders.h on POSIX systems (Linux).
#include "tools/pack/platform/folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include "tools/pack/base/pack_error.h"

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

namespace korvanthelm::pack {
namespace {

EntryStatus StatusOf(const struct stat& status) {
    EntryKind kind = EntryKind::kOther;
    if (S_ISREG(status.st_mode)) {
        kind = EntryKind::kRegularFile;
    } else if (S_ISDIR(status.st_mode)) {
        kind = EntryKind::kFolder;
    } else if (S_ISLNK(status.st_mode)) {
        kind = EntryKind::kSymbolicLink;
    }
    return {kind, static_cast<std::uint64_t>(status.st_size)};
}

}  // namespace

bool ExamineEntry(const UniqueFd& folder, const std::string& name, EntryStatus& status,
                  int& error) {
    struct stat found {};
    if (::fstatat(folder.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return false;
    }
    status = StatusOf(found);
    return true;
}

bool ExamineOpenFile(const UniqueFd& file, EntryStatus& status, int& error) {
    struct stat found {};
    if (::fstat(file.get(), &found) != 0) {
        error = errno;
        return false;
    }
    status = StatusOf(found);
    return true;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool PathLiesInside(const std::string& path, const std::string& folder) {
    std::error_code error;
    const std::filesystem::path root = std::filesystem::canonical(folder, error);
    if (error) {
        return false;
    }
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    if (error) {
        return false;
    }
    const auto [root_end, unused] =
        std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    return root_end == root.end();
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

int RemoveOne(const char* path, const struct stat*, int kind, struct FTW*) {
    // FTW_DP: a folder whose contents were visited first.
    if (kind == FTW_DP) {
        ::rmdir(path);
    } else {
        ::unlink(path);
    }
    return 0;
}

// Enough open descriptors for a deep tree without running out.
constexpr int kOpenFolders = 32;

}  // namespace

std::string CreateFreshFolder(const std::string& parent, const std::string& stem) {
    std::string pattern = parent + "/" + stem + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw PackError("cannot make a folder in " + parent + ": " + std::strerror(errno));
    }
    return AbsolutePath(pattern);
}

void MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (!folder.empty() && ::mkdir(folder.c_str(), /*mode=*/0777) != 0 && errno != EEXIST) {
            throw PackError("cannot make the folder " + folder + ": " + std::strerror(errno));
        }
        if (slash == std::string::npos) {
            return;
        }
    }
}

void RemoveFolderTree(const std::string& path) noexcept {
    // FTW_PHYS: links are removed, not followed; FTW_DEPTH: contents first.
    ::nftw(path.c_str(), RemoveOne, kOpenFolders, FTW_DEPTH | FTW_PHYS);
}

bool IsEmptyFolder(const std::string& path) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), ::closedir);
    if (!folder) {
        return false;
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            return false;
        }
    }
    return true;
}

std::string AbsolutePath(const std::string& path) {
    const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr),
                                                          std::free);
    if (!resolved) {
        throw PackError("cannot find " + path + ": " + std::strerror(errno));
    }
    return resolved.get();
}

namespace {

// A tree deeper than this is a loop or an attack, not a Wine prefix.
constexpr int kDepthLimit = 64;

std::string Describe(const UniqueFd& folder, const std::string& name, const struct stat& status) {
    std::string text =
        std::to_string(status.st_mode & S_IFMT) + ' ' + std::to_string(status.st_size) + ' ' +
        std::to_string(status.st_mtim.tv_sec) + '.' + std::to_string(status.st_mtim.tv_nsec);
    if (S_ISLNK(status.st_mode)) {
        char target[4096];
        const ssize_t length = ::readlinkat(folder.get(), name.c_str(), target, sizeof(target));
        text += " -> " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    return text;
}

void Walk(const UniqueFd& folder, const std::string& prefix, int depth, TreeFingerprint& out) {
    std::vector<std::string> names;
    int error = 0;
    ListFolder(folder, names, error);
    for (const std::string& name : names) {
        struct stat status {};
        if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        const std::string path = prefix + name;
        if (S_ISDIR(status.st_mode)) {
            // A folder's own time changes with every file made in it: what
            // matters is that it is there, and what it holds.
            out[path] = "folder";
            if (depth < kDepthLimit) {
                const UniqueFd below(::openat(folder.get(), name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (below) {
                    Walk(below, path + '/', depth + 1, out);
                }
            }
        } else {
            out[path] = Describe(folder, name, status);
        }
    }
}

}  // namespace

TreeFingerprint FingerprintTree(const std::string& root) {
    TreeFingerprint fingerprint;
    int error = 0;
    const UniqueFd folder = OpenFolder(root, error);
    if (folder) {
        Walk(folder, "", 0, fingerprint);
    }
    return fingerprint;
}

TreeFingerprint FingerprintFolder(const std::string& root) {
    TreeFingerprint fingerprint;
    int error = 0;
    const UniqueFd folder = OpenFolder(root, error);
    if (folder) {
        Walk(folder, "", kDepthLimit, fingerprint);
    }
    return fingerprint;
}

void ReplaceWithLink(const std::string& path, const std::string& target) {
    RemoveLink(path);
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        throw PackError("cannot make the link " + path + ": " + std::strerror(errno));
    }
}

void RemoveLink(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw PackError("cannot remove " + path + ": " + std::strerror(errno));
    }
}

}  // namespace korvanthelm::pack
