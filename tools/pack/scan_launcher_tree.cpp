#include "tools/pack/scan_launcher_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>

#include "format/package_path_rules.h"
#include "format/package_table.h"
#include "tools/pack/fold_case.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/unique_fd.h"
#include "tools/pack/utf8_to_utf16.h"

namespace korvanthelm::pack {
namespace {

using format::kMaxPackageEntryCount;
using format::kMaxPackagePathBytes;
using format::kMaxPackageTableSize;

struct TreeWalk {
    const std::string& root;
    std::vector<TreeFile> files;
    std::vector<std::string> dropped;
};

std::string Quoted(std::string_view path) {
    return "\"" + PrintablePath(path) + "\"";
}

std::string InTree(const TreeWalk& walk, std::string_view relative) {
    return Quoted(relative) + " in " + Quoted(walk.root);
}

[[noreturn]] void ThrowSystemError(const std::string& what, int error) {
    throw PackError(what + ": " + std::strerror(error));
}

// Adds the files below the folder open at `folder_fd` (taken over) whose
// path in the tree is `relative`; returns how many there are.
std::uint64_t WalkFolder(UniqueFd folder_fd, const std::string& relative, TreeWalk& walk) {
    DIR* stream = ::fdopendir(folder_fd.get());
    if (stream == nullptr) {
        ThrowSystemError("cannot read folder " + InTree(walk, relative), errno);
    }
    folder_fd.release();  // the stream owns it now
    struct StreamCloser {
        DIR* stream;
        ~StreamCloser() { ::closedir(stream); }
    } closer{stream};

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) {
                ThrowSystemError("cannot read folder " + InTree(walk, relative), errno);
            }
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    // Listing order is the file system's; sorting keeps warnings and the
    // first reported problem the same from run to run.
    std::sort(names.begin(), names.end());

    std::uint64_t count = 0;
    for (const std::string& name : names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        if (path.size() > kMaxPackagePathBytes) {
            throw PackError("path over 65535 bytes, longer than a package entry can name: " +
                            InTree(walk, path.substr(0, 200) + "..."));
        }
        struct stat status {};
        if (::fstatat(::dirfd(stream), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            ThrowSystemError("cannot examine " + InTree(walk, path), errno);
        }
        if (S_ISLNK(status.st_mode)) {
            throw PackError("symbolic link in the tree (links are never followed): " +
                            InTree(walk, path));
        }
        if (S_ISREG(status.st_mode)) {
            if (walk.files.size() == kMaxPackageEntryCount) {
                throw PackError("more than 10000 files in " + Quoted(walk.root) +
                                ": a package holds at most 10000 entries");
            }
            walk.files.push_back({path, static_cast<std::uint64_t>(status.st_size)});
            ++count;
        } else if (S_ISDIR(status.st_mode)) {
            UniqueFd child(::openat(::dirfd(stream), name.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child) {
                ThrowSystemError("cannot open folder " + InTree(walk, path), errno);
            }
            const std::size_t dropped_before = walk.dropped.size();
            const std::uint64_t below = WalkFolder(std::move(child), path, walk);
            if (below == 0) {
                // Report the outermost empty folder only, not each one inside it.
                walk.dropped.resize(dropped_before);
                walk.dropped.push_back(path);
            }
            count += below;
        } else {
            throw PackError(
                "special file in the tree (only regular files and folders can be "
                "packed): " +
                InTree(walk, path));
        }
    }
    return count;
}

// What a name, folded, already stands for in the tree: a file, or a folder
// on the way to one. `file` is the entry that claimed it first, and the name
// is that entry's path up to `length` bytes, so its spelling is kept.
struct FoldedName {
    bool is_file;
    std::size_t file;
    std::size_t length;
};

// Windows folds letter case for the whole of Unicode when it looks a name up,
// while the bootstrapper's duplicate key folds ASCII only, so some trees pass
// its checks on the build host and then meet themselves on every player's
// disk: two files that are one file there, a file and a folder that are one
// name there, or one folder spelled two ways, which unpacks as one folder
// holding what the tree had in two. Throws for the first such pair, naming
// both. `folded` is the folded entry path of `files[index]`.
void ClaimFoldedNames(const TreeWalk& walk, std::size_t index, const std::u16string& folded,
                      std::map<std::u16string, FoldedName>& claims) {
    const std::string& path = walk.files[index].path;
    const auto spelling = [&](const FoldedName& name) {
        return std::string_view(walk.files[name.file].path).substr(0, name.length);
    };
    // The folded path and the UTF-8 path have their '/' in the same order:
    // folding keeps '/' and makes nothing else one.
    std::size_t byte_from = 0;
    for (std::size_t unit = folded.find(u'/'); unit != std::u16string::npos;
         unit = folded.find(u'/', unit + 1)) {
        const std::size_t byte_slash = path.find('/', byte_from);
        byte_from = byte_slash + 1;
        const FoldedName folder{false, index, byte_slash};
        const auto [claim, added] = claims.try_emplace(folded.substr(0, unit), folder);
        if (added) {
            continue;
        }
        const std::string_view other = walk.files[claim->second.file].path;
        if (claim->second.is_file) {
            throw PackError("file " + Quoted(other) + " and folder " + Quoted(spelling(folder)) +
                            " of " + Quoted(path) +
                            " differ only in letter case, one name on Windows: in " +
                            Quoted(walk.root));
        }
        if (spelling(claim->second) != spelling(folder)) {
            throw PackError("folder " + Quoted(spelling(claim->second)) + " of " + Quoted(other) +
                            " and folder " + Quoted(spelling(folder)) + " of " + Quoted(path) +
                            " differ only in letter case, one folder on Windows: in " +
                            Quoted(walk.root));
        }
    }
    const auto [claim, added] = claims.try_emplace(folded, FoldedName{true, index, path.size()});
    if (!added) {
        const std::string_view other = walk.files[claim->second.file].path;
        if (claim->second.is_file) {
            throw PackError("entry paths " + Quoted(other) + " and " + Quoted(path) +
                            " differ only in letter case, one file on Windows: in " +
                            Quoted(walk.root));
        }
        throw PackError("file " + Quoted(path) + " and folder " + Quoted(spelling(claim->second)) +
                        " of " + Quoted(other) +
                        " differ only in letter case, one name on Windows: in " +
                        Quoted(walk.root));
    }
}

bool SameKey(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

LauncherTree ScanLauncherTree(const std::string& root) {
    UniqueFd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd) {
        ThrowSystemError("cannot open the launcher tree " + Quoted(root), errno);
    }
    TreeWalk walk{root, {}, {}};
    WalkFolder(std::move(root_fd), "", walk);
    if (walk.files.empty()) {
        throw PackError("no files in " + Quoted(root) + ": a package needs at least one");
    }
    // The package's entry order, fixed so the same tree gives the same bytes.
    std::sort(walk.files.begin(), walk.files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });

    // The same decoding, rules and registry the bootstrapper applies while
    // extracting, in the same order, so nothing it would refuse gets packed;
    // then the names Windows would fold into one.
    format::EntryPathRegistry<char16_t> registry;
    std::map<std::u16string, FoldedName> folded_names;
    std::uint64_t table_size = format::kPackageTableHeaderSize;
    for (std::size_t i = 0; i < walk.files.size(); ++i) {
        const TreeFile& file = walk.files[i];
        const std::optional<std::u16string> entry_path = Utf8ToUtf16(file.path);
        if (!entry_path) {
            throw PackError("file name is not valid UTF-8: " + InTree(walk, file.path));
        }
        if (!format::IsSafePackagePath(std::u16string_view(*entry_path))) {
            throw PackError(
                "unsafe entry path (a Windows device name, a name ending in a dot or space, "
                "a forbidden character, or over 1000 UTF-16 units): " +
                InTree(walk, file.path));
        }
        if (!registry.TryAdd(*entry_path)) {
            const auto earlier = std::find_if(
                walk.files.begin(), walk.files.begin() + static_cast<std::ptrdiff_t>(i),
                [&](const TreeFile& other) { return SameKey(other.path, file.path); });
            const std::string other = earlier != walk.files.begin() + static_cast<std::ptrdiff_t>(i)
                                          ? Quoted(earlier->path)
                                          : std::string("an earlier entry");
            throw PackError("entry path differs only in ASCII letter case from " + other +
                            ", one file on Windows: " + InTree(walk, file.path));
        }
        ClaimFoldedNames(walk, i, FoldCase(*entry_path), folded_names);
        // Summed so nothing can wrap: every term is checked against what is left.
        const std::uint64_t left = kMaxPackageTableSize - table_size;
        if (file.size > left || format::PackageRecordSize(file.path.size(), 0) > left - file.size) {
            throw PackError("package table over 0x80000000 bytes (2 GiB) once " +
                            InTree(walk, file.path) + " is added");
        }
        table_size += format::PackageRecordSize(file.path.size(), file.size);
    }
    return LauncherTree{std::move(walk.files), table_size, std::move(walk.dropped)};
}

}  // namespace korvanthelm::pack
