#include "tools/pack/try/installed_watcher_path.h"

#include "tools/pack/platform/folders.h"

namespace korvanthelm::pack {

std::optional<std::string> InstalledWatcherPath() {
    const std::optional<std::string> folder = ProgramFolder();
    if (!folder) {
        return std::nullopt;
    }
    return *folder + "/../share/korvanthelm/korvanthelm-watcher.exe";
}

}  // namespace korvanthelm::pack
