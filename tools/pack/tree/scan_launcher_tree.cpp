#include "tools/pack/tree/scan_launcher_tree.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "format/package_path_rules.h"
#include "format/package_table.h"
#include "format/utf8_to_utf16.h"
#include "format/walk_package_entries.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/folded_name_claims.h"
#include "tools/pack/checks/unsafe_path_reason.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/system_error_text.h"
#include "tools/pack/platform/unique_fd.h"

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

std::string QuotedRoot(std::string_view root) {
    return "\"" + PrintableHostPath(root) + "\"";
}

std::string InTree(const TreeWalk& walk, std::string_view relative) {
    return Quoted(relative) + " in " + QuotedRoot(walk.root);
}

[[noreturn]] void ThrowSystemError(const std::string& what, int error) {
    throw PackError(what + ": " + SystemErrorText(error));
}

std::span<const std::byte> BytesOf(const std::string& text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

// The refusal of a path that is not UTF-8 or not safe, whichever it is.
void RefuseBadOrUnsafePath(std::optional<format::EntryFailure> refused, const TreeWalk& walk,
                           const std::string& path) {
    if (refused == format::EntryFailure::kBadPath) {
        throw PackError("file name is not valid UTF-8: " + InTree(walk, path));
    }
    if (refused == format::EntryFailure::kUnsafePath) {
        throw PackError("unsafe entry path (" + UnsafePathReason(path) +
                        "): " + InTree(walk, path));
    }
}

// An entry the system cannot examine. Windows cannot open a name holding a
// character it forbids, though a listing may show one: such a name is
// refused by the path rules, as the Linux packer refuses it, before the
// system's own reason is given.
[[noreturn]] void ThrowCannotExamine(const TreeWalk& walk, const std::string& path, int error) {
    format::EntryPathRegistry<char16_t> registry;
    std::u16string entry_path;
    RefuseBadOrUnsafePath(
        format::AdmitEntryPath(BytesOf(path), format::StrictUtf8Decoder{}, registry, entry_path),
        walk, path);
    ThrowSystemError("cannot examine " + InTree(walk, path), error);
}

// Adds the files below the folder open at `folder` whose path in the tree is
// `relative`; returns how many there are.
std::uint64_t WalkFolder(const UniqueFd& folder, const std::string& relative, TreeWalk& walk) {
    std::vector<std::string> names;
    int error = 0;
    if (!ListFolder(folder, names, error)) {
        ThrowSystemError("cannot read folder " + InTree(walk, relative), error);
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
        EntryStatus status{};
        if (!ExamineEntry(folder, name, status, error)) {
            ThrowCannotExamine(walk, path, error);
        }
        if (status.kind == EntryKind::kSymbolicLink) {
            throw PackError("symbolic link in the tree (links are never followed): " +
                            InTree(walk, path));
        }
        if (status.kind == EntryKind::kRegularFile) {
            if (walk.files.size() == kMaxPackageEntryCount) {
                throw PackError("more than 10000 files in " + QuotedRoot(walk.root) +
                                ": a package holds at most 10000 entries");
            }
            walk.files.push_back({path, status.size});
            ++count;
        } else if (status.kind == EntryKind::kFolder) {
            const UniqueFd child = OpenFolderInside(folder, name, error);
            if (!child) {
                ThrowSystemError("cannot open folder " + InTree(walk, path), error);
            }
            const std::size_t dropped_before = walk.dropped.size();
            const std::uint64_t below = WalkFolder(child, path, walk);
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

bool SameKey(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

LauncherTree ScanLauncherTree(const std::string& root) {
    int error = 0;
    const UniqueFd root_fd = OpenFolder(root, error);
    if (!root_fd) {
        ThrowSystemError("cannot open the launcher tree " + QuotedRoot(root), error);
    }
    TreeWalk walk{root, {}, {}};
    WalkFolder(root_fd, "", walk);
    if (walk.files.empty()) {
        throw PackError("no files in " + QuotedRoot(root) + ": a package needs at least one");
    }
    // The package's entry order, fixed so the same tree gives the same bytes.
    std::sort(walk.files.begin(), walk.files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });

    // The same decoding, rules and registry the bootstrapper applies while
    // extracting, in the same order, so nothing it would refuse gets packed;
    // then the names Windows would fold into one.
    format::EntryPathRegistry<char16_t> registry;
    FoldedNameClaims folded_names;
    std::u16string entry_path;
    std::uint64_t table_size = format::kPackageTableHeaderSize;
    for (std::size_t i = 0; i < walk.files.size(); ++i) {
        const TreeFile& file = walk.files[i];
        const std::optional<format::EntryFailure> refused = format::AdmitEntryPath(
            BytesOf(file.path), format::StrictUtf8Decoder{}, registry, entry_path);
        RefuseBadOrUnsafePath(refused, walk, file.path);
        switch (refused.value_or(format::EntryFailure::kRecordCutShort)) {
            case format::EntryFailure::kBadPath:  // refused above
            case format::EntryFailure::kUnsafePath:
                break;
            case format::EntryFailure::kDuplicatePath: {
                const auto earlier = std::find_if(
                    walk.files.begin(), walk.files.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const TreeFile& other) { return SameKey(other.path, file.path); });
                const std::string other =
                    earlier != walk.files.begin() + static_cast<std::ptrdiff_t>(i)
                        ? Quoted(earlier->path)
                        : std::string("an earlier entry");
                throw PackError("entry path differs only in ASCII letter case from " + other +
                                ", one file on Windows: " + InTree(walk, file.path));
            }
            case format::EntryFailure::kRecordCutShort:  // not a path failure: admitted
            case format::EntryFailure::kTrailingData:
                break;
        }
        if (const std::optional<std::string> clash = folded_names.Claim(file.path, entry_path)) {
            throw PackError(*clash + ": in " + QuotedRoot(walk.root));
        }
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
