#include "tools/pack/try/world_drives.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/folders.h"

namespace korvanthelm::pack {
namespace {

std::string LinkOf(const std::string& prefix, char letter) {
    return prefix + "/dosdevices/" + letter + ':';
}

}  // namespace

void MapTryDrives(const std::string& prefix, std::span<const TryDrive> drives) {
    try {
        RemoveLink(LinkOf(prefix, 'z'));
        for (const char letter : kTryDriveLetters) {
            RemoveLink(LinkOf(prefix, letter));
        }
        for (const TryDrive& drive : drives) {
            // "" is the root: an exe kept in / gets all of it, nothing
            // smaller holds it.
            ReplaceWithLink(LinkOf(prefix, drive.letter),
                            drive.folder.empty() ? std::string("/") : drive.folder);
        }
    } catch (const PackError&) {
        UnmapTryDrives(prefix);
        throw;
    }
}

void UnmapTryDrives(const std::string& prefix) noexcept {
    for (const char letter : kTryDriveLetters) {
        try {
            RemoveLink(LinkOf(prefix, letter));
        } catch (const PackError&) {
            // Nothing to do: the next run's MapTryDrives replaces it or says why not.
        }
    }
}

}  // namespace korvanthelm::pack
