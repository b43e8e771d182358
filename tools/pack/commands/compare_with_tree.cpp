#include "tools/pack/commands/compare_with_tree.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "format/package_table.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/tree/build_package_table.h"
#include "tools/pack/tree/scan_launcher_tree.h"

namespace korvanthelm::pack {
namespace {

struct Entry {
    std::string_view path;
    std::span<const std::byte> data;
};

// The records of a table that passed the entry walk, in table order.
std::vector<Entry> EntriesOf(std::span<const std::byte> table) {
    std::vector<Entry> entries;
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    while (walker.Next(record)) {
        entries.push_back({std::string_view(reinterpret_cast<const char*>(record.path.data()),
                                            record.path.size()),
                           record.data});
    }
    return entries;
}

bool Holds(const std::vector<Entry>& entries, std::string_view path) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const Entry& entry) { return entry.path == path; });
}

bool SameBytes(std::span<const std::byte> a, std::span<const std::byte> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

std::string Quoted(std::string_view path) {
    return "\"" + PrintablePath(std::string(path)) + "\"";
}

// The first difference between the package's entries and the tree's, said
// as one refusal; nothing when they are the same.
void RequireSameEntries(const std::vector<Entry>& package, const std::vector<Entry>& tree,
                        const std::string& root) {
    const std::string lead = "not made from the tree \"" + PrintablePath(root) + "\": ";
    const std::size_t common = std::min(package.size(), tree.size());
    std::size_t i = 0;
    while (i < common && package[i].path == tree[i].path &&
           SameBytes(package[i].data, tree[i].data)) {
        ++i;
    }
    if (i == common && package.size() == tree.size()) {
        return;
    }
    if (i == common) {
        if (i < tree.size()) {
            throw PackError(lead + Quoted(tree[i].path) + " is in the tree but not in the package");
        }
        throw PackError(lead + Quoted(package[i].path) + " is in the package but not in the tree");
    }
    const Entry& ours = package[i];
    const Entry& theirs = tree[i];
    if (ours.path == theirs.path) {
        throw PackError(lead + Quoted(ours.path) +
                        " has other bytes in the package than in the tree");
    }
    if (!Holds(package, theirs.path)) {
        if (SameBytes(ours.data, theirs.data) && !Holds(tree, ours.path)) {
            throw PackError(lead + "entry " + std::to_string(i + 1) + " is " + Quoted(ours.path) +
                            " in the package and " + Quoted(theirs.path) + " in the tree");
        }
        throw PackError(lead + Quoted(theirs.path) + " is in the tree but not in the package");
    }
    if (!Holds(tree, ours.path)) {
        throw PackError(lead + Quoted(ours.path) + " is in the package but not in the tree");
    }
    throw PackError(lead + "entry " + std::to_string(i + 1) + " is " + Quoted(ours.path) +
                    " in the package and " + Quoted(theirs.path) + " in the tree");
}

}  // namespace

void RequirePackageMadeFromTree(std::span<const std::byte> package, const PackOptions& options,
                                const WarnFunction& warn) {
    const std::string& tree = options.tree;
    const LauncherTree scanned = ScanLauncherTree(tree);
    const std::vector<std::byte> table = BuildPackageTable(tree, scanned);
    // The entries first: a tree that differs is named in seconds, before the
    // minute of compression.
    const std::vector<std::byte> unpacked = UnpackPackage(package);
    RequireSameEntries(EntriesOf(unpacked), EntriesOf(table), tree);
    const std::vector<std::byte> again =
        CompressWithProgress(table, ChooseJobs(options.jobs, table.size(), warn), options);
    if (!SameBytes(package, again)) {
        throw PackError("not made by this packer from the tree \"" + PrintablePath(tree) +
                        "\": every entry is the same, but the compressed bytes are not the ones "
                        "this packer makes (another packer version or another compressor made "
                        "them)");
    }
}

}  // namespace korvanthelm::pack
