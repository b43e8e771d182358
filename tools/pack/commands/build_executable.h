// `korvanthelm-pack build`: the prebuilt bootstrapper stub, filled with a
// package and its digests, checked, optionally signed, becomes KORVANTHELM.exe.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/signing/sign_executable.h"

namespace korvanthelm::pack {

// One consistent set of build inputs; the command line has already refused
// contradictory combinations (a tree and a package, --no-verify with signing).
struct BuildOptions {
    // The tree to pack and how (tree, launcher files, jobs, progress), and
    // pack.output, the executable to write. pack.tree is empty with `package`.
    PackOptions pack;
    std::string package;  // a package made by `pack`, instead of a tree
    std::string stub;     // empty: the stub installed beside this program
    // With `package`: its launcher digests, and with verify off an optional
    // PackageDigest to write instead of the package's own. Ignored for a tree.
    ExecutableDigests digests;
    SigningOptions signing;
    bool verify = true;  // false: build around any package bytes, unchecked
    bool require_signed_tree = false;
    std::string version;  // the packer's version; only its own stubs are filled
};

struct BuildResult {
    ExecutableDigests digests;  // as written into the digest slot
    std::size_t entry_count;    // 0 when the package was not checked
    std::size_t exe_size;       // bytes written
    bool verified;              // the executable was checked as `verify` checks it
};

// Refuses first, before any compression: an output that is also the stub,
// the package or a launcher file, an output folder that is missing or
// refuses a file, what a signing lacks (CheckSigningPrerequisites) and a
// stub not of this version (CheckStub). Then packs the tree in memory
// (as PackTreeInMemory, refusing an output inside the tree) or reads the
// package; assembles the executable; unless verify is
// off, checks it as `verify` would and judges unsigned programs in the
// package against signing and require_signed_tree; signs it when asked and
// checks it again; only then writes pack.output (mode 0777 minus umask) in
// one rename. `warn` receives one line per warning. Throws PackError, one
// line naming the cause; pack.output is then left as it was.
BuildResult BuildExecutable(const BuildOptions& options,
                            const std::function<void(const std::string&)>& warn);

}  // namespace korvanthelm::pack
