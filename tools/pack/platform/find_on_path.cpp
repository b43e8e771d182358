#include "tools/pack/platform/find_on_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace korvanthelm::pack {

std::optional<std::string> FindOnPath(const std::string& name) {
    const char* const path = std::getenv("PATH");
    if (path == nullptr) {
        return std::nullopt;
    }
    std::string_view rest = path;
    while (true) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        // An empty entry means the working folder, as the shell takes it.
        const std::string candidate =
            (folder.empty() ? std::string(".") : std::string(folder)) + "/" + name;
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace korvanthelm::pack
