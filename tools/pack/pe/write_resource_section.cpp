#include "tools/pack/pe/write_resource_section.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint32_t kSubdirectory = 0x80000000;  // the entry leads to another table
constexpr std::uint64_t kPieceAlignment = 8;
constexpr std::uint64_t kDirectoryHeaderSize = 16;
constexpr std::uint64_t kDirectoryEntrySize = 8;
constexpr std::uint64_t kDataEntrySize = 16;

struct Name {
    std::uint32_t id;
    std::size_t first_leaf;
    std::size_t leaf_count;
};

struct Type {
    std::uint32_t id;
    std::vector<Name> names;
};

std::uint64_t DirectorySize(std::size_t entries) {
    return kDirectoryHeaderSize + kDirectoryEntrySize * entries;
}

// The tree of sorted `leaves`: one Type per type, one Name per name in it.
std::vector<Type> GroupLeaves(const std::vector<ResourceLeaf>& leaves) {
    std::vector<Type> types;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        if (types.empty() || types.back().id != leaves[i].type) {
            types.push_back({leaves[i].type, {}});
        }
        std::vector<Name>& names = types.back().names;
        if (names.empty() || names.back().id != leaves[i].name) {
            names.push_back({leaves[i].name, i, 0});
        }
        ++names.back().leaf_count;
    }
    return types;
}

// Where the pieces go, as offsets from the section's start.
struct Plan {
    std::uint64_t data_entries;
    std::vector<std::uint64_t> data_offsets;  // one per leaf
    std::uint64_t size;
};

Plan PlanSection(const std::vector<Type>& types, const std::vector<ResourceLeaf>& leaves) {
    Plan plan{0, {}, DirectorySize(types.size())};
    for (const Type& type : types) {
        plan.size += DirectorySize(type.names.size());
    }
    for (const Type& type : types) {
        for (const Name& name : type.names) {
            plan.size += DirectorySize(name.leaf_count);
        }
    }
    plan.data_entries = plan.size;
    plan.size += kDataEntrySize * leaves.size();
    for (const ResourceLeaf& leaf : leaves) {
        plan.size = AlignUp(plan.size, kPieceAlignment);
        plan.data_offsets.push_back(plan.size);
        plan.size += leaf.data.size();
    }
    return plan;
}

// A directory table's header with `entries` integer-named entries (no named
// ones); returns the offset of its first entry.
std::uint64_t PutDirectory(std::span<std::byte> out, std::uint64_t at, std::size_t entries) {
    WriteLe(out, at + 14, entries, 2);
    return at + kDirectoryHeaderSize;
}

// The language table of `name` at `table`, its data entries and its data.
void PutLanguages(std::span<std::byte> out, std::uint64_t table, const Name& name,
                  const std::vector<ResourceLeaf>& leaves, const Plan& plan, std::uint32_t rva) {
    std::uint64_t entry = PutDirectory(out, table, name.leaf_count);
    for (std::size_t leaf = name.first_leaf; leaf < name.first_leaf + name.leaf_count; ++leaf) {
        const std::uint64_t data_entry = plan.data_entries + kDataEntrySize * leaf;
        WriteLe(out, entry, leaves[leaf].language, 4);
        WriteLe(out, entry + 4, data_entry, 4);
        entry += kDirectoryEntrySize;
        WriteLe(out, data_entry, rva + plan.data_offsets[leaf], 4);
        WriteLe(out, data_entry + 4, leaves[leaf].data.size(), 4);
        WriteLe(out, data_entry + 8, leaves[leaf].code_page, 4);
        std::copy(leaves[leaf].data.begin(), leaves[leaf].data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(plan.data_offsets[leaf]));
    }
}

}  // namespace

std::vector<std::byte> WriteResourceSection(std::vector<ResourceLeaf> leaves, std::uint32_t rva) {
    std::sort(leaves.begin(), leaves.end(), [](const ResourceLeaf& a, const ResourceLeaf& b) {
        return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
    });
    const std::vector<Type> types = GroupLeaves(leaves);
    const Plan plan = PlanSection(types, leaves);
    if (plan.size > std::numeric_limits<std::uint32_t>::max() - rva) {
        throw PackError("the package is too large for a Windows executable");
    }

    std::vector<std::byte> out(plan.size, std::byte{0});
    // Directory tables in the order they were sized: the root's entries point
    // at the type tables, theirs at the name tables, theirs at data entries.
    std::uint64_t next_table = DirectorySize(types.size());
    std::uint64_t entry = PutDirectory(out, 0, types.size());
    for (const Type& type : types) {
        WriteLe(out, entry, type.id, 4);
        WriteLe(out, entry + 4, kSubdirectory | next_table, 4);
        entry += kDirectoryEntrySize;
        next_table += DirectorySize(type.names.size());
    }
    std::uint64_t type_table = DirectorySize(types.size());
    for (const Type& type : types) {
        entry = PutDirectory(out, type_table, type.names.size());
        for (const Name& name : type.names) {
            WriteLe(out, entry, name.id, 4);
            WriteLe(out, entry + 4, kSubdirectory | next_table, 4);
            PutLanguages(out, next_table, name, leaves, plan, rva);
            entry += kDirectoryEntrySize;
            next_table += DirectorySize(name.leaf_count);
        }
        type_table += DirectorySize(type.names.size());
    }
    return out;
}

}  // namespace korvanthelm::pack
