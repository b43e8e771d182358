// The bootstrapper's entry walk driven on a table made in memory, for checks
// that must see what the walk does to a real disk: the release self-test's
// link checks, and the package tests that link this library too. Not part of
// the bootstrapper, which only ever walks the table of its own package.
#pragma once

#include <string>
#include <vector>

#include "package/extract_package.h"
#include "package/load_package_table.h"

namespace korvanthelm::selftest {

struct TableEntry {
    std::string path;  // UTF-8, '/' separated, as the packer writes it
    std::string data;
};

// A sound table of `entries` in their order, as the packer would write it,
// with its entry count. Throws std::length_error where the format's limits
// are broken (no entries, too many, a path over 65535 bytes).
PackageTable MakePackageTable(const std::vector<TableEntry>& entries);

// WritePackageEntries on `table` into `work_directory`: the failure message,
// or "" when every entry was written. Only the walk's messages are caught;
// anything else `before_entry` throws passes out.
std::wstring MessageOfWrite(const PackageTable& table, const std::wstring& work_directory,
                            const BeforeEntry& before_entry = nullptr);

}  // namespace korvanthelm::selftest
