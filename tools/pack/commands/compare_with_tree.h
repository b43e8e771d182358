// `verify --tree`: whether a package was made from exactly a launcher tree.
// The packer's compressor gives the same bytes from the same table on every
// system, so a release can be rebuilt anywhere and compared.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/commands/pack_warning.h"

namespace korvanthelm::pack {

// `package` (envelope and container, already checked as `verify` checks it)
// must hold exactly the table the tree at `options.tree` makes, entry for
// entry, and be, byte for byte, what this packer compresses that table to
// with `options.jobs` threads (0: as `pack` chooses; the bytes do not depend
// on it), the progress shown as `options` ask. The tree is
// scanned and refused as `pack` refuses it. Throws PackError naming the first
// entry that differs: one of the tree missing from the package, one of the
// package not in the tree, an entry with other bytes, or one under another
// name; or, when every entry is the same, that the compressed bytes are not
// this packer's. `warn` receives what `pack` would warn of while choosing
// the number of threads.
void RequirePackageMadeFromTree(std::span<const std::byte> package, const PackOptions& options,
                                const WarnFunction& warn);

}  // namespace korvanthelm::pack
