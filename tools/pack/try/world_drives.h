// The drives a program run by `try` sees. A player's machine has C: and the
// folders a program was given, not the whole Linux file system that Wine's
// Z: maps: each run gives the prefix letters of its own for exactly what the
// run needs (the world, the folder of the exe under test, the watcher's
// folder) and takes Z: away, as wineboot or a Wine update may put it back.
#pragma once

#include <span>
#include <string>

namespace korvanthelm::pack {

struct TryDrive {
    char letter = 0;     // lower case, as Wine names its links ("w:")
    std::string folder;  // absolute, links resolved, no trailing slash ("" for /)
};

// Fixed, so that every run is alike: not C: (the prefix's own), not Z: (the
// Linux root), and far above D:, where Wine puts the drives it finds.
inline constexpr char kWorldDrive = 'w';
inline constexpr char kExeDrive = 'x';
inline constexpr char kWatcherDrive = 'y';
inline constexpr char kTryDriveLetters[] = {kWorldDrive, kExeDrive, kWatcherDrive};

// In `prefix`/dosdevices, before Wine starts: removes z: and whatever a run
// left on the letters above, then links each drive's letter to its folder.
// Throws PackError naming the link that cannot be made or removed; the
// letters are then removed again as far as they can be.
void MapTryDrives(const std::string& prefix, std::span<const TryDrive> drives);

// Removes the letters above from `prefix`/dosdevices, once Wine has ended:
// a later run, or Wine started by hand, finds none of this run's folders.
// Never throws.
void UnmapTryDrives(const std::string& prefix) noexcept;

}  // namespace korvanthelm::pack
