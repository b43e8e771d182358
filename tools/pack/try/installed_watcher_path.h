// Where the message-box watcher is installed beside the packer, as the stub
// is: <prefix>/share/korvanthelm/korvanthelm-watcher.exe. `try` runs
// KORVANTHELM.exe through it under Wine.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

// The watcher's path beside this program, whether or not a file is there;
// nullopt when the system does not say where this program is.
std::optional<std::string> InstalledWatcherPath();

}  // namespace korvanthelm::pack
