// The private world of one `try` run: the folders a player's account would
// have (TEMP, roaming and local application data), fresh, on the Linux side,
// and the drives through which Wine's Windows programs see it, the exe under
// test and the watcher (world_drives.h): no other Linux folder has a letter.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/try/world_drives.h"

namespace korvanthelm::pack {

struct TryWorld {
    std::string root;            // absolute; holds everything below
    std::string temp;            // root + "/temp": TEMP and TMP
    std::string app_data;        // root + "/Roaming": APPDATA
    std::string local_app_data;  // root + "/Local": LOCALAPPDATA
    std::string prefix;          // the Wine prefix, for paths on its C: drive
    // W: the root, X: the exe's folder, Y: the watcher's folder.
    std::vector<TryDrive> drives;
};

// Throws PackError when `keep` names something other than a missing or empty
// folder: a world is never mixed with what was there. Checked before Wine
// starts, as cheap checks come first.
void RefuseUnusableKeep(const std::string& keep);

// The world in `keep` (made when missing; RefuseUnusableKeep's refusal) or,
// with an empty `keep`, in a fresh folder under the temporary folder, with
// drives for it and for the folders of `exe` and `watcher` (absolute paths,
// links resolved). Throws PackError naming the folder.
TryWorld MakeTryWorld(const std::string& keep, const std::string& prefix, const std::string& exe,
                      const std::string& watcher);

// The drives of a world rooted at `root` whose exe and watcher are the
// absolute paths `exe` and `watcher`.
std::vector<TryDrive> TryDrivesOf(const std::string& root, const std::string& exe,
                                  const std::string& watcher);

// `unix_path` (absolute, links resolved) as Wine's Windows programs see it,
// through the world's drive whose folder holds it most closely:
// "W:\temp". Throws PackError when no drive holds it.
std::string WindowsPath(const TryWorld& world, const std::string& unix_path);

// Where a Windows path of a program in the prefix is on the Linux side: C:
// paths and those on the world's drives (letter in any case), their "." and
// ".." steps taken as Windows takes them, never above the drive's folder;
// nullopt for Z:, any other letter and any other form: what `try` cannot
// look at.
std::optional<std::string> UnixPath(const TryWorld& world, const std::string& windows_path);

// A path of the set-up program's contract below the world's APPDATA
// (format::kLauncherRecordPath, say) on the Linux side.
std::string AppDataPath(const TryWorld& world, std::string_view contract_path);

}  // namespace korvanthelm::pack
