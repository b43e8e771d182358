// Whether the launcher digests given with a ready package belong to it: the
// bootstrapper compares them with the installed launcher, so a pair from
// another tree, or the two swapped, gives a KORVANTHELM.exe that reinstalls
// on every start or never starts the launcher.
#pragma once

#include <cstddef>
#include <span>

#include "tools/pack/commands/pack_warning.h"
#include "tools/pack/pe/assemble_executable.h"

namespace korvanthelm::pack {

// Hashes every entry of `table` (a table that passed CheckPackageTable) and
// warns (kLauncherDigestNotInPackage) when neither launcher digest is the
// digest of an entry, or (kLauncherDigestsSwapped) when LauncherExeDigest
// is only that of ".jar" entries and LauncherJarDigest only that of ".exe"
// entries. Launcher files may lie outside the tree, so one digest without an
// entry is not a warning.
void CheckLauncherDigests(std::span<const std::byte> table, const ExecutableDigests& digests,
                          const WarnFunction& warn);

}  // namespace korvanthelm::pack
