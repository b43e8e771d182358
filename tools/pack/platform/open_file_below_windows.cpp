#include <windows.h>

#include "tools/pack/platform/open_file_below.h"
#include "tools/pack/platform/open_folder.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error) {
    const std::wstring wide = WideChildPath(folder.path(), name);
    // Others may read it meanwhile; a writer is let in too, as on Linux, and
    // the reader notices when the size changes. A link is opened as itself.
    UniqueFd file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              /*security=*/nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                              /*template=*/nullptr),
                  wide);
    if (!file) {
        error = static_cast<int>(GetLastError());
        return file;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file.get()) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(file.get(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = static_cast<int>(kStoppedOnLinkError);
        return {};
    }
    error = 0;
    return file;
}

}  // namespace

UniqueFd OpenFileBelow(const UniqueFd& root, const std::string& relative, int& error) {
    UniqueFd folder;
    const UniqueFd* at = &root;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash - start);
        if (slash == std::string::npos) {
            return OpenFileInside(*at, name, error);
        }
        UniqueFd next = OpenFolderInside(*at, name, error);
        if (!next) {
            return next;
        }
        folder = std::move(next);
        at = &folder;
        start = slash + 1;
    }
}

}  // namespace korvanthelm::pack
