#include <windows.h>

#include <string_view>

#include "platform/unique_resource.h"
#include "tools/pack/platform/list_folder.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {

bool ListFolder(const UniqueFd& folder, std::vector<std::string>& names, int& error) {
    std::wstring pattern = folder.path();
    pattern += pattern.ends_with(L'\\') ? L"*" : L"\\*";
    WIN32_FIND_DATAW found{};
    // FindExInfoBasic: no 8.3 names are wanted, and the system need not make them.
    const UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, /*filter=*/nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    for (;;) {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(Utf8FromWide(name));
        }
        if (!FindNextFileW(find.get(), &found)) {
            const DWORD last = GetLastError();
            error = last == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(last);
            return error == 0;
        }
    }
}

}  // namespace korvanthelm::pack
