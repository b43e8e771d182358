#include <windows.h>

#include "tools/pack/platform/examine_entry.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// A reparse point (symbolic link, junction, mount point) is judged as a link
// whatever it points to: the walk never follows one.
EntryKind KindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return EntryKind::kSymbolicLink;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EntryKind::kFolder;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return EntryKind::kOther;
    }
    return EntryKind::kRegularFile;
}

std::uint64_t SizeOf(DWORD high, DWORD low) {
    return (std::uint64_t{high} << 32) | low;
}

}  // namespace

bool ExamineEntry(const UniqueFd& folder, const std::string& name, EntryStatus& status,
                  int& error) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    // Reads the entry itself: a reparse point is not followed here.
    if (!GetFileAttributesExW(WideChildPath(folder.path(), name).c_str(), GetFileExInfoStandard,
                              &found)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    status = {KindOf(found.dwFileAttributes), SizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
    return true;
}

bool ExamineOpenFile(const UniqueFd& file, EntryStatus& status, int& error) {
    // A pipe, a console or a device has no place among files to pack.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        status = {EntryKind::kOther, 0};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION found{};
    if (!GetFileInformationByHandle(file.get(), &found)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    status = {KindOf(found.dwFileAttributes), SizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
    return true;
}

}  // namespace korvanthelm::pack
