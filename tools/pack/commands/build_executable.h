// `korvanthelm-pack build`: the prebuilt bootstrapper stub, filled with a
// package and its digests, checked, optionally signed, becomes KORVANTHELM.exe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/commands/pack_warning.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/check_authenticode_signature.h"
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
    // With `package`: the digests file `pack` wrote with it (ReadDigestsFile),
    // instead of the launcher digests in `digests`; its PackageDigest must be
    // the package's own.
    std::string digests_file;
    SigningOptions signing;
    bool verify = true;  // false: build around any package bytes, unchecked
    bool require_signed_tree = false;
    std::string version;  // the packer's version; only its own stubs are filled
};

struct BuildResult {
    ExecutableDigests digests;       // as written into the digest slot
    std::size_t entry_count;         // 0 when the package was not checked
    std::size_t exe_size;            // bytes written
    bool verified;                   // the executable was checked as `verify` checks it
    std::uint64_t table_size = 0;    // unpacked bytes; 0 when not checked
    std::uint64_t package_size = 0;  // the package resource's bytes
    PackagePrograms programs;        // the PE files in the package, when checked
    // The executable's own signature as written, when it was signed.
    std::optional<AuthenticodeSignature> signature;
};

// Refuses first, before any compression: an output that is also the stub,
// the package or a launcher file, an output folder that is missing or
// refuses a file, an existing output that is no regular file, what a
// signing lacks (CheckSigningPrerequisites) and a stub not of this version
// (CheckStub). Then packs the tree in memory (as PackTreeInMemory, refusing
// an output inside the tree), judging before the compression what the
// tree's table decides: a set-up program that is no Windows program
// (RequireProgramAsSetupProgram), unsigned programs against signing and
// require_signed_tree, long entry paths; or reads the package and judges
// the same once the executable is checked. Assembles the executable; unless
// verify is off, checks it as `verify` would; signs it when asked and
// checks it again; only then writes pack.output (mode 0777 minus umask) in
// one rename. `warn` receives each warning; when it throws, nothing is
// written. Throws PackError, one
// line naming the cause; pack.output is then left as it was.
BuildResult BuildExecutable(const BuildOptions& options, const WarnFunction& warn);

}  // namespace korvanthelm::pack
