// The one walk over a package table's entries, shared by everything that
// judges a package: the bootstrapper while it extracts, and on the build
// host `pack` (on its own output), `verify`, `list` and the release
// self-test. "verify accepts it" means "the bootstrapper unpacks it" only
// because both run this code.
//
// For each of the entry_count records in table order: the record's bounds
// (path_length, path, data_size, data; each against what is left), the path
// decoded from UTF-8, IsSafePackagePath, the duplicate key registered; then
// the caller's visitor gets the entry. After the last counted record the
// table must hold nothing more. The first refusal ends the walk and comes
// back as a value naming the failure and the entry; what the visitor did for
// earlier entries stays done.
//
// Portable: no <windows.h>. The decoder is the caller's: the bootstrapper
// passes the platform's MultiByteToWideChar, the host tools the strict
// decoder of utf8_to_utf16.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/package_path_rules.h"
#include "format/package_table.h"

namespace korvanthelm::format {

// Why the walk refused a table. Each maps to one message of the bootstrapper.
enum class EntryFailure : std::uint8_t {
    kRecordCutShort,  // a length runs past the table's end, or fewer records than entry_count
    kBadPath,         // path empty or not well-formed UTF-8
    kUnsafePath,      // IsSafePackagePath refused the entry path
    kDuplicatePath,   // an earlier entry has the same duplicate key
    kTrailingData,    // bytes after the last counted entry
};

struct EntryRefusal {
    EntryFailure failure;
    // The entry refused, from 0; entry_count for kTrailingData.
    std::uint32_t entry;
    // Table offset where that record starts (for kTrailingData: the first
    // byte left over).
    std::uint64_t offset;
    // The record's path bytes, for the path failures; empty otherwise.
    std::span<const std::byte> path;
};

template <class CharT>
struct PackageEntry {
    std::uint32_t index;                    // from 0, in table order
    std::span<const std::byte> path_bytes;  // as stored
    std::basic_string<CharT>& path;         // decoded, '/' separated; the visitor may change it
    std::span<const std::byte> data;        // points into the table
};

// Steps of one entry path after its record's bounds: decode, vet, register.
// nullopt when `path` is admitted, `entry_path` then its decoded form and its
// key in `registry`. `decode(bytes, out)` is false for ill-formed input.
template <class CharT, class Decode>
std::optional<EntryFailure> AdmitEntryPath(std::span<const std::byte> path, const Decode& decode,
                                           EntryPathRegistry<CharT>& registry,
                                           std::basic_string<CharT>& entry_path) {
    if (!decode(path, entry_path)) {
        return EntryFailure::kBadPath;
    }
    const std::basic_string_view<CharT> view(entry_path);
    if (!IsSafePackagePath(view)) {
        return EntryFailure::kUnsafePath;
    }
    if (!registry.TryAdd(view)) {
        return EntryFailure::kDuplicatePath;
    }
    return std::nullopt;
}

// Walks the `entry_count` records of `table` (whose header the caller has
// checked with CheckPackageTableHeader), calling `visit(PackageEntry<CharT>&)`
// for every admitted entry before the next record is looked at. nullopt when
// every entry was admitted and the table ends right after the last one.
// Whatever `visit` throws passes through; the registry lives for this call.
template <class CharT, class Decode, class Visit>
std::optional<EntryRefusal> WalkPackageEntries(std::span<const std::byte> table,
                                               std::uint32_t entry_count, const Decode& decode,
                                               Visit&& visit) {
    EntryPathRegistry<CharT> registry;
    PackageRecordWalker records(table);
    std::basic_string<CharT> entry_path;
    for (std::uint32_t entry = 0; entry < entry_count; ++entry) {
        const std::uint64_t offset = records.offset();
        PackageRecord record;
        if (!records.Next(record)) {
            return EntryRefusal{EntryFailure::kRecordCutShort, entry, offset, {}};
        }
        if (const std::optional<EntryFailure> failure =
                AdmitEntryPath(record.path, decode, registry, entry_path)) {
            return EntryRefusal{*failure, entry, offset, record.path};
        }
        PackageEntry<CharT> admitted{entry, record.path, entry_path, record.data};
        visit(admitted);
    }
    if (!records.AtEnd()) {
        return EntryRefusal{EntryFailure::kTrailingData, entry_count, records.offset(), {}};
    }
    return std::nullopt;
}

}  // namespace korvanthelm::format
