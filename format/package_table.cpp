#include "format/package_table.h"

#include <algorithm>
#include <stdexcept>

namespace korvanthelm::format {
namespace {

std::uint64_t ReadLittleEndian(std::span<const std::byte> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i > 0; --i) {
        value = (value << 8) | std::to_integer<std::uint64_t>(bytes[i - 1]);
    }
    return value;
}

void AppendLittleEndian(std::vector<std::byte>& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<std::byte>(value >> (8 * i)));
    }
}

}  // namespace

std::optional<std::uint32_t> CheckPackageTableHeader(std::span<const std::byte> table) {
    if (table.size() < kPackageTableHeaderSize) {
        return std::nullopt;
    }
    if (!std::equal(kPackageTableMagic.begin(), kPackageTableMagic.end(), table.begin())) {
        return std::nullopt;
    }
    if (ReadLittleEndian(table.subspan(4, 2)) != kPackageTableVersion) {
        return std::nullopt;
    }
    const auto entry_count = static_cast<std::uint32_t>(ReadLittleEndian(table.subspan(6, 4)));
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
    const std::uint64_t path_length = ReadLittleEndian(table_.subspan(p, 2));
    if (path_length > n - (p + 2)) {
        return false;
    }
    if (n - (p + 2 + path_length) < 8) {
        return false;
    }
    const std::uint64_t data_size = ReadLittleEndian(table_.subspan(p + 2 + path_length, 8));
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

PackageTableBuilder::PackageTableBuilder(std::uint32_t entry_count, std::uint64_t expected_size)
    : entry_count_(entry_count) {
    if (entry_count - kMinPackageEntryCount > kMaxPackageEntryCount - kMinPackageEntryCount) {
        throw std::length_error("package entry count outside 1..10000");
    }
    if (expected_size > kPackageTableHeaderSize && expected_size <= kMaxPackageTableSize) {
        table_.reserve(static_cast<std::size_t>(expected_size));
    }
    table_.insert(table_.end(), kPackageTableMagic.begin(), kPackageTableMagic.end());
    AppendLittleEndian(table_, kPackageTableVersion, 2);
    AppendLittleEndian(table_, entry_count, 4);
}

std::span<std::byte> PackageTableBuilder::AddRecord(std::span<const std::byte> path,
                                                    std::uint64_t data_size) {
    if (added_ == entry_count_) {
        throw std::length_error("more package records than announced");
    }
    if (path.size() > kMaxPackagePathBytes) {
        throw std::length_error("package path over 65535 bytes");
    }
    const std::uint64_t record_size = PackageRecordSize(path.size(), data_size);
    // Written so no sum can wrap: data_size alone may be anything.
    if (data_size > kMaxPackageTableSize || record_size > kMaxPackageTableSize - table_.size()) {
        throw std::length_error("package table over 0x80000000 bytes");
    }
    AppendLittleEndian(table_, path.size(), 2);
    table_.insert(table_.end(), path.begin(), path.end());
    AppendLittleEndian(table_, data_size, 8);
    const std::size_t data_offset = table_.size();
    table_.resize(data_offset + static_cast<std::size_t>(data_size));
    ++added_;
    return std::span<std::byte>(table_).subspan(data_offset);
}

std::vector<std::byte> PackageTableBuilder::Finish() && {
    if (added_ != entry_count_) {
        throw std::length_error("fewer package records than announced");
    }
    return std::move(table_);
}

}  // namespace korvanthelm::format
