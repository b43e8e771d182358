#include "tools/pack/platform/path_lies_inside.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace korvanthelm::pack {

bool PathLiesInside(const std::string& path, const std::string& folder) {
    std::error_code error;
    const std::filesystem::path root = std::filesystem::canonical(folder, error);
    if (error) {
        return false;
    }
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    if (error) {
        return false;
    }
    const auto [root_end, unused] =
        std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    return root_end == root.end();
}

}  // namespace korvanthelm::pack
