#include "tools/pack/platform/program_folder.h"

#include <climits>
#include <cstdlib>

namespace korvanthelm::pack {

std::optional<std::string> ProgramFolder() {
    char self[PATH_MAX];
    // Linux names the running executable here, whatever argv[0] says.
    if (::realpath("/proc/self/exe", self) == nullptr) {
        return std::nullopt;
    }
    std::string folder(self);
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    folder.erase(slash);
    return folder;
}

}  // namespace korvanthelm::pack
