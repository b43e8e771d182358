#include "format/package_table.h"

#include <algorithm>

#include "format/little_endian.h"

namespace korvanthelm::format {

std::optional<std::uint32_t> CheckPackageTableHeader(std::span<const std::byte> table) {
    if (table.size() < kPackageTableHeaderSize) {
        return std::nullopt;
    }
    if (!std::equal(kPackageTableMagic.begin(), kPackageTableMagic.end(), table.begin())) {
        return std::nullopt;
    }
    if (LoadLittleEndian(table.subspan(4, 2)) != kPackageTableVersion) {
        return std::nullopt;
    }
    const auto entry_count = static_cast<std::uint32_t>(LoadLittleEndian(table.subspan(6, 4)));
    // One unsigned test for both ends: a count of 0 wraps to 0xFFFFFFFF.
    if (entry_count - kMinPackageEntryCount > kMaxPackageEntryCount - kMinPackageEntryCount) {
        return std::nullopt;
    }
    return entry_count;
}

PackageRecordWalker::PackageRecordWalker(std::span<const std::byte> table)
    : table_(table), offset_(kPackageTableHeaderSize) {}

bool PackageRecordWalker::Next(PackageRecord& out) {
    const std::uint64_t n = table_.size();
    const std::uint64_t p = offset_;
    // Only a table shorter than its header puts the start past the end;
    // every later offset is at most n because of the tests below.
    if (p > n) {
        return false;
    }
    if (n - p < 2) {
        return false;
    }
    const std::uint64_t path_length = LoadLittleEndian(table_.subspan(p, 2));
    if (path_length > n - (p + 2)) {
        return false;
    }
    if (n - (p + 2 + path_length) < 8) {
        return false;
    }
    const std::uint64_t data_size = LoadLittleEndian(table_.subspan(p + 2 + path_length, 8));
    if (data_size > n - (p + 10 + path_length)) {
        return false;
    }
    // All four values are now known to lie within the table, so they fit size_t.
    out.path =
        table_.subspan(static_cast<std::size_t>(p + 2), static_cast<std::size_t>(path_length));
    out.data = table_.subspan(static_cast<std::size_t>(p + 10 + path_length),
                              static_cast<std::size_t>(data_size));
    offset_ = p + 10 + path_length + data_size;
    return true;
}

}  // namespace korvanthelm::format
