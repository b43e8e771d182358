// Writing the package's entries into the work directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "package/load_package_table.h"

namespace korvanthelm {

inline constexpr const wchar_t kUnsafeWorkDirectory[] =
    L"Небезопасная временная папка установщика.";
inline constexpr const wchar_t kBadEntryPath[] = L"Повреждён путь в пакете лаунчера.";
inline constexpr const wchar_t kUnsafeEntryPath[] = L"Небезопасный путь в пакете лаунчера.";
inline constexpr const wchar_t kDuplicateEntryPath[] = L"Повторяющийся путь в пакете лаунчера.";
inline constexpr const wchar_t kFolderFailed[] = L"Не удалось создать папку лаунчера.";
inline constexpr const wchar_t kWriteFailed[] =
    L"Не удалось записать файлы лаунчера во временную папку.";
inline constexpr const wchar_t kTrailingData[] = L"Лишние данные в пакете лаунчера.";

// Loads the package table and writes every entry into `work_directory`.
// Throws the failure message of the first failure; files and folders written
// before it stay for the caller's clean-up. Nothing is ever written outside
// `work_directory`: unsafe paths, duplicates and links on the way are refused.
void ExtractPackage(const std::wstring& work_directory);

// Called with an entry's index (from 0) just before its folders are entered
// and its file is written, when every entry before it is on disk. Only the
// release self-test passes one: it changes the disk between two entries the
// way another process could, without racing the walk.
using BeforeEntry = std::function<void(std::uint32_t entry)>;

// The part of ExtractPackage after the table is loaded: the work directory
// check and the entry walk.
void WritePackageEntries(const PackageTable& table, const std::wstring& work_directory,
                         const BeforeEntry& before_entry = {});

}  // namespace korvanthelm
