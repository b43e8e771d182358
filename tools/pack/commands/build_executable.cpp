#include "tools/pack/commands/build_executable.h"
#include "tools/pack/commands/installed_stub_path.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/checks/check_package_file.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/commands/check_launcher_digests.h"
#include "tools/pack/commands/longest_entry_path.h"
#include "tools/pack/commands/read_digests_file.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/pe/check_stub.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/hashing.h"
#include "tools/pack/signing/check_signing_prerequisites.h"

namespace korvanthelm::pack {
namespace {

using Warn = WarnFunction;

// The stub installed beside the packer: <prefix>/bin/korvanthelm-pack and
// <prefix>/share/korvanthelm/korvanthelm-stub.exe, wherever the prefix is (an
// installed package, or a copy unpacked anywhere).
std::string StubPath(const BuildOptions& options) {
    if (!options.stub.empty()) {
        return options.stub;
    }
    const std::optional<std::string> installed = InstalledStubPath();
    if (!installed) {
        throw PackError("cannot find this program's own folder; name the stub with --stub");
    }
    return *installed;
}

// The stub is judged before a tree is compressed: a wrong one fails at once.
// The result views `stub`, which the caller keeps.
CheckedStub CheckStubFile(const std::vector<std::byte>& stub, const std::string& path,
                          const std::string& version) {
    try {
        return CheckStub(stub, version);
    } catch (const PackError& error) {
        throw PackError("stub \"" + path + "\": " + error.what());
    }
}

// Unsigned programs matter only to a build that signs or demands signing: the
// signed bootstrapper would start them from %TEMP%.
void JudgeUnsignedPrograms(const PackagePrograms& found, const BuildOptions& options,
                           const Warn& warn) {
    if (found.unsigned_paths.empty() ||
        !(options.signing.Enabled() || options.require_signed_tree)) {
        return;
    }
    const std::string programs = "the package holds " + DescribePrograms(found);
    if (options.require_signed_tree) {
        throw PackError("refused (--require-signed-tree): " + programs);
    }
    warn({kUnsignedPrograms, found.unsigned_paths.front(),
          programs + ". The set-up program runs from the player's %TEMP%, where SmartScreen, "
                     "AppLocker and WDAC publisher rules stop unsigned programs: sign them "
                     "(--require-signed-tree refuses such a package)"});
}

struct PackageAndDigests {
    std::vector<std::byte> package;
    ExecutableDigests digests;
    std::size_t entry_count = 0;
    // From a tree: the table the package was proven to decode to, so that the
    // executable's check does not decode it again. Empty for --package.
    std::vector<std::byte> table;
    // From a tree: the programs among its entries, signatures checked, so
    // that the executable's check does not read them again.
    PackagePrograms programs;
};

PackageAndDigests TakePackage(const BuildOptions& options, const Warn& warn) {
    PackageAndDigests taken;
    if (!options.package.empty()) {
        // A digests file that cannot be read fails before the package is.
        const std::optional<ExecutableDigests> from_file =
            options.digests_file.empty()
                ? std::nullopt
                : std::optional<ExecutableDigests>(ReadDigestsFile(options.digests_file));
        taken.package = ReadWholeFile(options.package);
        taken.digests = from_file.value_or(options.digests);
        const std::string own = Sha256Text(taken.package);
        if (from_file && from_file->package != own) {
            throw PackError("digests file \"" + options.digests_file +
                            "\" is for another package: " + "its PackageDigest is " +
                            from_file->package + ", \"" + options.package + "\" has " + own);
        }
        if (taken.digests.package.empty()) {
            taken.digests.package = own;
        }
        return taken;
    }
    RefuseOutputInsideTree(options.pack.output, options.pack.tree);
    // The programs are known once the tree is read: a set-up program that
    // is no program, and unsigned ones where signing is asked for, are
    // refused before the compression.
    PackedTree packed = PackTreeInMemory(
        options.pack, warn,
        [&](std::span<const std::byte> table, const std::vector<PackageEntrySummary>&) {
            taken.programs = FindPackagePrograms(table);
            RequireProgramAsSetupProgram(taken.programs);
            JudgeUnsignedPrograms(taken.programs, options, warn);
        });
    taken.package = std::move(packed.package);
    taken.table = std::move(packed.table);
    taken.digests = {packed.result.package_digest, packed.result.launcher_exe_digest,
                     packed.result.launcher_jar_digest};
    taken.entry_count = packed.result.entry_count;
    return taken;
}

// The signer's temporary files go beside the output, on the same file system.
std::string OutputFolder(const std::string& output) {
#ifdef _WIN32
    const std::size_t slash = output.find_last_of("/\\");  // Windows takes either
#else
    const std::size_t slash = output.rfind('/');
#endif
    if (slash == std::string::npos) {
        return ".";
    }
    // A root keeps its slash: "/", and on Windows "C:\".
    std::size_t root_end = 1;
#ifdef _WIN32
    if (slash == 2 && output[1] == ':') {
        root_end = 3;
    }
#endif
    return output.substr(0, std::max(slash, root_end));
}

}  // namespace

BuildResult BuildExecutable(const BuildOptions& options, const Warn& warn) {
    const std::string stub_path = StubPath(options);
    const NamedPath named_output{"-o", options.pack.output};
    RefuseOutputsThatShareAFile(
        {&named_output, 1},
        std::vector<NamedPath>{{options.stub.empty() ? "stub" : "--stub", stub_path},
                               {"--package", options.package},
                               {"--launcher-exe", options.pack.launcher_exe},
                               {"--launcher-jar", options.pack.launcher_jar},
                               {"--digests", options.digests_file},
                               {"--sign-cert", options.signing.cert},
                               {"--sign-key", options.signing.key}});
    RequireWritableOutputFolder(options.pack.output);
    CheckSigningPrerequisites(options.signing);
    const std::vector<std::byte> stub_bytes = ReadWholeFile(stub_path);
    const CheckedStub stub = CheckStubFile(stub_bytes, stub_path, options.version);
    const PackageAndDigests taken = TakePackage(options, warn);
    BuildResult result{taken.digests, taken.entry_count, 0, options.verify, 0, 0, {}, {}};
    result.package_size = taken.package.size();

    std::vector<std::byte> exe = AssembleExecutable(stub, taken.package, taken.digests);
    if (options.verify) {
        const DecodedPackage decoded = DecodeCheckedPackage(
            exe, /*slot=*/std::nullopt,
            options.package.empty() ? std::optional<ProvenPackage>(ProvenPackage{
                                          taken.package, taken.table, &taken.programs})
                                    : std::nullopt);
        const CheckedPackage& checked = decoded.checked;
        result.entry_count = checked.entries.size();
        result.table_size = checked.table_size;
        result.programs = checked.programs;
        if (!options.package.empty()) {
            // A tree's were judged before its compression (TakePackage).
            for (const std::string& warning : checked.warnings) {
                // The one warning of the checks: entry paths too long for a long TEMP.
                warn({kLongPath, LongestEntryPath(checked.entries), warning});
            }
            RequireProgramAsSetupProgram(checked.programs);
            CheckLauncherDigests(decoded.table, taken.digests, warn);
            JudgeUnsignedPrograms(checked.programs, options, warn);
        }
        if (options.signing.Enabled()) {
            SignedExecutable signed_exe =
                SignExecutable(exe, options.signing, OutputFolder(options.pack.output),
                               [&](const std::string& note) {
                                   warn({kTimestampRetry, {}, note});
                               });
            // Neither the package nor the signature is read again: SignExecutable
            // proved the signed file to be this one with a signature that
            // verifies added and nothing else changed.
            exe = std::move(signed_exe.bytes);
            result.signature = std::move(signed_exe.signature);
        }
    } else {
        warn({kNotVerified, options.pack.output,
              "the package was not verified; the bootstrapper may refuse \"" + options.pack.output +
                  "\""});
    }
    // Executable like a linker's output, so that binfmt or a direct start works.
    StagedFile output(options.pack.output, exe, /*mode=*/0777);
    output.Commit();
    result.exe_size = exe.size();
    return result;
}

}  // namespace korvanthelm::pack
