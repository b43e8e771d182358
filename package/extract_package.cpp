#include "package/extract_package.h"

#include <windows.h>

#include "format/package_path_rules.h"
#include "format/package_table.h"
#include "package/entry_folders.h"
#include "platform/failure_message.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

// Strict UTF-8 to UTF-16: ill-formed input (and empty input) fails.
bool DecodeEntryPath(std::span<const std::byte> bytes, std::wstring& path) {
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());  // at most 65535
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
    if (length == 0) {
        return false;
    }
    path.assign(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, path.data(), length);
    return true;
}

void WriteEntryFile(const std::wstring& target, std::span<const std::byte> data) {
    // CREATE_NEW: an existing name here means two entries claimed it, or
    // something was planted; nothing is ever opened or overwritten. No
    // sharing: nobody reads a half-written file.
    UniqueFile file(CreateFileW(target.c_str(), GENERIC_WRITE, /*share=*/0, /*security=*/nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, /*template=*/nullptr));
    if (!file) {
        ThrowFailure(kWriteFailed);
    }
    DWORD written = 0;
    if (!data.empty()) {
        // One call straight from the table; a table is at most 2^31 bytes, so
        // the size fits a DWORD.
        if (!WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written,
                       /*overlapped=*/nullptr)) {
            file.reset();
            ThrowFailure(kWriteFailed);
        }
    }
    file.reset();
    if (written != data.size()) {
        ThrowFailure(kWriteFailed);
    }
}

}  // namespace

void WritePackageEntries(const PackageTable& table, const std::wstring& work_directory,
                         const BeforeEntry& before_entry) {
    EntryFolders folders(work_directory);
    format::EntryPathRegistry<wchar_t> registry;
    format::PackageRecordWalker walker(table.bytes);
    for (std::uint32_t entry = 0; entry < table.entry_count; ++entry) {
        format::PackageRecord record;
        if (!walker.Next(record)) {
            ThrowFailure(kPackageCorrupt);
        }
        std::wstring entry_path;
        if (!DecodeEntryPath(record.path, entry_path)) {
            ThrowFailure(kBadEntryPath);
        }
        if (!format::IsSafePackagePath(std::wstring_view(entry_path))) {
            ThrowFailure(kUnsafeEntryPath);
        }
        if (!registry.TryAdd(std::wstring_view(entry_path))) {
            ThrowFailure(kDuplicateEntryPath);
        }
        for (wchar_t& unit : entry_path) {
            if (unit == L'/') {
                unit = L'\\';
            }
        }
        const std::wstring target = work_directory + L'\\' + entry_path;
        if (before_entry) {
            before_entry(entry);
        }
        folders.Enter(target);
        WriteEntryFile(target, record.data);
    }
    if (!walker.AtEnd()) {
        ThrowFailure(kTrailingData);
    }
}

void ExtractPackage(const std::wstring& work_directory) {
    const PackageTable table = LoadPackageTable();
    WritePackageEntries(table, work_directory);
}

}  // namespace korvanthelm
