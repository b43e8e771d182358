#include <windows.h>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/open_regular_file.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {

OpenedFile OpenRegularFile(const std::string& path, std::uint64_t max_size) {
    const std::wstring wide = WidePath(path);
    // FILE_FLAG_BACKUP_SEMANTICS: a folder opens too, and is then refused as
    // not a regular file (as on Linux) instead of as "access denied".
    UniqueFd file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              /*template=*/nullptr),
                  wide);
    if (!file) {
        throw PackError("cannot open \"" + path + "\": " + WindowsErrorText(GetLastError()));
    }
    // A pipe, a console or a device (CON, NUL, \\.\pipe\...) would never end
    // or never answer.
    const DWORD type = GetFileType(file.get());
    BY_HANDLE_FILE_INFORMATION information{};
    if (type == FILE_TYPE_DISK && !GetFileInformationByHandle(file.get(), &information)) {
        throw PackError("cannot examine \"" + path + "\": " + WindowsErrorText(GetLastError()));
    }
    if (type != FILE_TYPE_DISK || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw PackError("not a regular file: \"" + path + "\"");
    }
    const std::uint64_t size =
        (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    if (size > max_size) {
        ThrowFileTooLarge(path, max_size);
    }
    return {std::move(file), size};
}

void ThrowFileTooLarge(const std::string& path, std::uint64_t max_size) {
    throw PackError("refused: \"" + path + "\" holds more than " + std::to_string(max_size) +
                    " bytes, more than any package or built exe can be");
}

}  // namespace korvanthelm::pack
