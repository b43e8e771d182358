#include "tools/selftest/entry_walk_driver.h"

#include <cstring>
#include <span>

#include "format/package_table.h"

namespace korvanthelm::selftest {

PackageTable MakePackageTable(const std::vector<TableEntry>& entries) {
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(entries.size()));
    for (const TableEntry& entry : entries) {
        const auto area =
            builder.AddRecord(std::as_bytes(std::span(entry.path)), entry.data.size());
        std::memcpy(area.data(), entry.data.data(), entry.data.size());
    }
    PackageTable table;
    table.bytes = std::move(builder).Finish();
    table.entry_count = static_cast<std::uint32_t>(entries.size());
    return table;
}

std::wstring MessageOfWrite(const PackageTable& table, const std::wstring& work_directory,
                            const BeforeEntry& before_entry) {
    try {
        WritePackageEntries(table, work_directory, before_entry);
    } catch (const std::wstring& message) {
        return message;
    }
    return L"";
}

}  // namespace korvanthelm::selftest
