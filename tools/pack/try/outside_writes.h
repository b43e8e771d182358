// What a run of `try` wrote outside its world: into the Wine prefix's C:
// drive, its registry, the home Wine has (where the profile's Desktop and
// Documents lead), or directly into the folders of the exe and the watcher
// (the run's other drives, X: and Y:). A player's machine is not the set-up
// program's to change beyond the folders it was given.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/platform/folders.h"
#include "tools/pack/try/private_wine.h"
#include "tools/pack/try/try_world.h"

namespace korvanthelm::pack {

struct PrefixFiles {
    TreeFingerprint drive_c;
    TreeFingerprint home;
    // The entries directly in each folder of OtherDriveFolders(world): the
    // user's own folders, not walked whole.
    std::vector<TreeFingerprint> other_drives;
};

// The folders of the world's drives other than its own (W:), each once.
std::vector<std::string> OtherDriveFolders(const TryWorld& world);

// The files of the prefix's C: drive, of Wine's home and of the world's
// other drives, now.
PrefixFiles ReadPrefixFiles(const PrivateWine& wine, const TryWorld& world);

struct OutsideWrites {
    // In order: the C: drive's entries written, replaced or removed (paths
    // on C:, and below a new or removed folder only the folder), the registry
    // keys changed against the registry as the prefix was made
    // ("HKEY_CURRENT_USER\Software\X"), the entries of Wine's home, then
    // those directly in the exe's and the watcher's folders (Linux paths).
    std::vector<std::string> written;
    bool files = false;  // a file was among them: the prefix must be made anew
};

// Once the run's Wine has ended (its registry saved): what changed since
// `before`. Never throws PackError: a registry file that cannot be read
// counts as empty.
OutsideWrites FindOutsideWrites(const PrivateWine& wine, const TryWorld& world,
                                const PrefixFiles& before);

}  // namespace korvanthelm::pack
