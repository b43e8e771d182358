// Writing the package's entries into the work directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "format/walk_package_entries.h"
#include "package/load_package_table.h"
#include "platform/failure_texts.h"

namespace korvanthelm {

// Loads the package table and writes every entry into `work_directory`.
// Throws the failure message of the first failure; files and folders written
// before it stay for the caller's clean-up. Nothing is ever written outside
// `work_directory`: unsafe paths, duplicates and links on the way are refused.
void ExtractPackage(const std::wstring& work_directory);

// Called with an entry's index (from 0) just before its folders are entered
// and its file is written, when every entry before it is on disk. What it
// throws ends the walk and passes out unchanged; entries written before stay.
using BeforeEntry = std::function<void(std::uint32_t entry)>;

// The part of ExtractPackage after the table is loaded: the work directory
// check and the entry walk. `before_entry`, when set, runs between two
// entries: the release self-test changes the disk there the way another
// process could, without racing the walk. The bootstrapper passes none.
void WritePackageEntries(const PackageTable& table, const std::wstring& work_directory,
                         const BeforeEntry& before_entry = nullptr);

// The bootstrapper's message for a refusal of the entry walk.
const wchar_t* EntryFailureText(format::EntryFailure failure) noexcept;

// The platform's strict UTF-8 decoder, as the entry walk takes one:
// MultiByteToWideChar with CP_UTF8 and MB_ERR_INVALID_CHARS, asked for the
// length first (0 is a failure, an empty input included), then to fill.
bool DecodeEntryPath(std::span<const std::byte> utf8, std::wstring& path);

}  // namespace korvanthelm
