#include "package/extract_package.h"

#include <windows.h>

#include "package/entry_folders.h"
#include "platform/failure_message.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

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
    std::wstring target;
    const std::optional<format::EntryRefusal> refusal = format::WalkPackageEntries<wchar_t>(
        table.bytes, table.entry_count, DecodeEntryPath, [&](format::PackageEntry<wchar_t>& entry) {
            // The entry path as decoded, not its duplicate key.
            for (wchar_t& unit : entry.path) {
                if (unit == L'/') {
                    unit = L'\\';
                }
            }
            target.assign(work_directory).append(1, L'\\').append(entry.path);
            if (before_entry) {
                before_entry(entry.index);
            }
            folders.Enter(target);
            WriteEntryFile(target, entry.data);
        });
    if (refusal) {
        ThrowFailure(EntryFailureText(refusal->failure));
    }
}

bool DecodeEntryPath(std::span<const std::byte> utf8, std::wstring& path) {
    const char* text = reinterpret_cast<const char*>(utf8.data());
    const int size = static_cast<int>(utf8.size());  // at most 65535
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
    if (length == 0) {
        return false;
    }
    path.assign(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, path.data(), length);
    return true;
}

const wchar_t* EntryFailureText(format::EntryFailure failure) noexcept {
    switch (failure) {
        case format::EntryFailure::kRecordCutShort:
            return kPackageCorrupt;
        case format::EntryFailure::kBadPath:
            return kBadEntryPath;
        case format::EntryFailure::kUnsafePath:
            return kUnsafeEntryPath;
        case format::EntryFailure::kDuplicatePath:
            return kDuplicateEntryPath;
        case format::EntryFailure::kTrailingData:
            return kTrailingData;
    }
    return kPackageCorrupt;
}

void ExtractPackage(const std::wstring& work_directory) {
    const PackageTable table = LoadPackageTable();
    WritePackageEntries(table, work_directory);
}

}  // namespace korvanthelm
