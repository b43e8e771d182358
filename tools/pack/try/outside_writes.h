// What a run of `try` wrote outside its world: into the Wine prefix's C:
// drive, its registry, or the home Wine has (where the profile's Desktop
// and Documents lead). A player's machine is not the set-up program's to
// change beyond the folders it was given.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/platform/folders.h"
#include "tools/pack/try/private_wine.h"

namespace korvanthelm::pack {

struct PrefixFiles {
    TreeFingerprint drive_c;
    TreeFingerprint home;
};

// The files of the prefix's C: drive and of Wine's home, now.
PrefixFiles ReadPrefixFiles(const PrivateWine& wine);

struct OutsideWrites {
    // In order: the C: drive's entries written, replaced or removed (paths
    // on C:, and below a new or removed folder only the folder), the registry
    // keys changed against the registry as the prefix was made
    // ("HKEY_CURRENT_USER\Software\X"), the entries of Wine's home (Linux
    // paths).
    std::vector<std::string> written;
    bool files = false;  // a file was among them: the prefix must be made anew
};

// Once the run's Wine has ended (its registry saved): what changed since
// `before`. Never throws PackError: a registry file that cannot be read
// counts as empty.
OutsideWrites FindOutsideWrites(const PrivateWine& wine, const PrefixFiles& before);

}  // namespace korvanthelm::pack
