// The private world of one `try` run: the folders a player's account would
// have (TEMP, roaming and local application data), fresh, on the Linux side,
// and seen by the Windows programs through Wine's Z: drive at the same paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvanthelm::pack {

struct TryWorld {
    std::string root;            // absolute; holds everything below
    std::string temp;            // root + "/temp": TEMP and TMP
    std::string app_data;        // root + "/Roaming": APPDATA
    std::string local_app_data;  // root + "/Local": LOCALAPPDATA
    std::string prefix;          // the Wine prefix, for paths on its C: drive
};

// Throws PackError when `keep` names something other than a missing or empty
// folder: a world is never mixed with what was there. Checked before Wine
// starts, as cheap checks come first.
void RefuseUnusableKeep(const std::string& keep);

// The world in `keep` (made when missing; RefuseUnusableKeep's refusal) or,
// with an empty `keep`, in a fresh folder under the temporary folder. Throws
// PackError naming the folder.
TryWorld MakeTryWorld(const std::string& keep, const std::string& prefix);

// `unix_path` (absolute) as Wine's Windows programs see it: "Z:\tmp\x".
std::string WindowsPath(const std::string& unix_path);

// Where a Windows path of a program in the prefix is on the Linux side: Z:
// and C: paths (drive letter in any case); nullopt for any other drive or
// form, which `try` cannot look at.
std::optional<std::string> UnixPath(const TryWorld& world, const std::string& windows_path);

// A path of the set-up program's contract below the world's APPDATA
// (format::kLauncherRecordPath, say) on the Linux side.
std::string AppDataPath(const TryWorld& world, std::string_view contract_path);

}  // namespace korvanthelm::pack
