#include <windows.h>

#include "platform/unique_resource.h"
#include "tools/pack/platform/path_lies_inside.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// The final path of what `path` names, links resolved; empty when it cannot
// be opened.
std::wstring FinalPathOf(const std::wstring& path) {
    const UniqueFile file(CreateFileW(
        path.c_str(), /*access=*/0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*template=*/nullptr));
    if (!file) {
        return {};
    }
    const DWORD needed = GetFinalPathNameByHandleW(file.get(), nullptr, 0, VOLUME_NAME_DOS);
    std::wstring final_path(needed, L'\0');
    const DWORD written = needed == 0 ? 0
                                      : GetFinalPathNameByHandleW(file.get(), final_path.data(),
                                                                  needed, VOLUME_NAME_DOS);
    final_path.resize(written < needed ? written : 0);
    return final_path;
}

// `path` resolved as far as it exists: the final path of its deepest existing
// folder, with the rest of the name after it as given.
std::wstring ResolvedPath(const std::string& path) {
    std::wstring rest;
    std::wstring existing = FullWidePath(path);
    for (;;) {
        std::wstring resolved = FinalPathOf(existing);
        if (!resolved.empty()) {
            return resolved + rest;
        }
        const std::size_t slash = existing.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash == 0) {
            return {};
        }
        rest = existing.substr(slash) + rest;
        existing.resize(slash);
    }
}

bool SameLetters(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), /*ignore_case=*/TRUE) == CSTR_EQUAL;
}

}  // namespace

bool PathLiesInside(const std::string& path, const std::string& folder) {
    const std::wstring root = FinalPathOf(WidePath(folder));
    std::wstring target = ResolvedPath(path);
    if (root.empty() || target.empty() || target.size() < root.size()) {
        return false;
    }
    // The folder itself, or something below it: the next unit is a separator.
    return SameLetters(std::wstring_view(target).substr(0, root.size()), root) &&
           (target.size() == root.size() || target[root.size()] == L'\\' || root.back() == L'\\');
}

}  // namespace korvanthelm::pack
