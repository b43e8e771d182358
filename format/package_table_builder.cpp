// The packer's side of the package table. Kept apart from the walker so that
// the bootstrapper, which only reads tables, links none of it.
#include "format/package_table.h"

#include <stdexcept>
#include <utility>

#include "format/little_endian.h"

namespace korvanthelm::format {
namespace {

void AppendLittleEndian(std::vector<std::byte>& out, std::uint64_t value, std::size_t size) {
    out.resize(out.size() + size);
    StoreLittleEndian(out.data() + out.size() - size, value, size);
}

}  // namespace

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
