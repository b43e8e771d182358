#include "tools/pack/commands/installed_stub_path.h"

#include "tools/pack/platform/program_folder.h"

namespace korvanthelm::pack {

std::optional<std::string> InstalledStubPath() {
    const std::optional<std::string> folder = ProgramFolder();
    if (!folder) {
        return std::nullopt;
    }
    return *folder + "/../share/korvanthelm/korvanthelm-stub.exe";
}

}  // namespace korvanthelm::pack
