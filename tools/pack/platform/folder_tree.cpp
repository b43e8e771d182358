#include "tools/pack/platform/folder_tree.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/pack/base/pack_error.h"

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

}  // namespace korvanthelm::pack
