// folders.h: the parts that are the same on every system.
#include "tools/pack/platform/folders.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/pack/platform/wide_path.h"
#else
#include <climits>
#include <cstdlib>
#endif

namespace korvanthelm::pack {

UniqueFd OpenFileBelow(const UniqueFd& root, const std::string& relative, int& error) {
    return FilesBelow(root).Open(relative, error);
}

UniqueFd FilesBelow::Open(const std::string& relative, int& error) {
    std::size_t depth = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash - start);
        if (slash != std::string::npos && depth < names_.size() && names_[depth] == name) {
            ++depth;  // the same folder as for the last file, still held
            start = slash + 1;
            continue;
        }
        // From here on the way differs from the last file's: what was held
        // deeper is let go.
        names_.resize(depth);
        folders_.resize(depth);
        const UniqueFd& at = depth == 0 ? root_ : folders_.back();
        if (slash == std::string::npos) {
            return OpenFileInside(at, name, error);
        }
        UniqueFd next = OpenFolderInside(at, name, error);
        if (!next) {
            return next;
        }
        names_.push_back(name);
        folders_.push_back(std::move(next));
        ++depth;
        start = slash + 1;
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

#ifdef _WIN32
// Fixed-size platform text buffers hold 32768 UTF-16 units, the longest path.
constexpr DWORD kPathUnits = 32768;
constexpr char kSeparators[] = "\\/";
#else
constexpr char kSeparators[] = "/";
#endif

std::optional<std::string> ExecutablePath() {
#ifdef _WIN32
    std::wstring self(kPathUnits, L'\0');
    const DWORD length = GetModuleFileNameW(/*module=*/nullptr, self.data(), kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        return std::nullopt;  // a path cut short names another folder
    }
    self.resize(length);
    return Utf8FromWide(self);
#else
    char self[PATH_MAX];
    // Linux names the running executable here, whatever argv[0] says.
    if (::realpath("/proc/self/exe", self) == nullptr) {
        return std::nullopt;
    }
    return std::string(self);
#endif
}

}  // namespace

std::optional<std::string> ProgramFolder() {
    std::optional<std::string> folder = ExecutablePath();
    if (!folder) {
        return std::nullopt;
    }
    const std::size_t slash = folder->find_last_of(kSeparators);
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    folder->erase(slash);
    return folder;
}

}  // namespace korvanthelm::pack
