#include "tools/pack/commands/installed_stub_path.h"

#include "tools/pack/platform/folders.h"

namespace korvanthelm::pack {

std::optional<std::string> InstalledStubPath() {
    const std::optional<std::string> folder = ProgramFolder();
    if (!folder) {
        return std::nullopt;
    }
#ifdef _WIN32
    // The Windows tools unpack as one folder: the stub lies beside the packer.
    return *folder + "\\korvanthelm-stub.exe";
#else
    return *folder + "/../share/korvanthelm/korvanthelm-stub.exe";
#endif
}

}  // namespace korvanthelm::pack
