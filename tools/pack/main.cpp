// korvanthelm-pack: turns a launcher tree into the package resource the
// bootstrapper carries, assembles KORVANTHELM.exe from the prebuilt stub, and
// lists or verifies packages and built executables.
// Exit status: 0 success, 1 failure (one line on stderr), 2 bad command line.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/check_package_file.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/check_stub.h"
#include "tools/pack/pe/check_authenticode_signature.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/sha256_text.h"
#include "tools/pack/signing/sign_executable.h"

#ifndef KORVANTHELM_VERSION
#error "KORVANTHELM_VERSION must name the tools' version"
#endif

namespace korvanthelm::pack {
namespace {

constexpr char kProgram[] = "korvanthelm-pack";
// A table of at most 2 GiB has at most 32 chunks of 64 MiB; far more threads
// than that is a typing mistake.
constexpr unsigned kMaxJobs = 1024;

constexpr char kUsage[] =
    "usage: korvanthelm-pack pack TREE -o PACKAGE [--launcher-exe FILE] [--launcher-jar FILE]\n"
    "                             [--digests-cmake FILE] [--digests-header FILE] [--jobs N]\n"
    "       korvanthelm-pack build TREE -o EXE [--launcher-exe FILE] [--launcher-jar FILE]\n"
    "                              [--stub STUB] [--jobs N]\n"
    "       korvanthelm-pack build --package PACKAGE -o EXE --launcher-exe-sha256 HEX\n"
    "                              --launcher-jar-sha256 HEX [--stub STUB] [--no-verify]\n"
    "       korvanthelm-pack build ... [SIGNING] [--require-signed-tree]\n"
    "       korvanthelm-pack list FILE\n"
    "       korvanthelm-pack verify FILE\n"
    "       korvanthelm-pack COMMAND --help\n"
    "       korvanthelm-pack --version\n";

constexpr char kPackHelp[] =
    "usage: korvanthelm-pack pack TREE -o PACKAGE [--launcher-exe FILE] [--launcher-jar FILE]\n"
    "                             [--digests-cmake FILE] [--digests-header FILE] [--jobs N]\n"
    "\n"
    "Packs every file below the folder TREE into PACKAGE, the package resource of\n"
    "KORVANTHELM.exe: the package table (entries sorted by their UTF-8 paths) compressed\n"
    "with LZMS in the Compression API's buffer format, in a \"KTSETUP1\" envelope. The same\n"
    "tree always gives the same bytes. The package is decoded again and checked before\n"
    "it is written; outputs are replaced only when everything succeeded.\n"
    "\n"
    "Refused, naming the path: symbolic links and special files (never followed), names\n"
    "that are not UTF-8, entry paths the bootstrapper refuses (Windows device names,\n"
    "names ending in a dot or space, forbidden characters, over 1000 UTF-16 units),\n"
    "names Windows would take for one (two files, a file and a folder, or one folder\n"
    "spelled two ways, equal under Unicode case folding), more than 10000 files, no\n"
    "file at all, no set-up program KORVANTHELM/KORVANTHELM.exe (ASCII case ignored),\n"
    "a table over 2 GiB. Empty folders are dropped with a warning.\n"
    "\n"
    "Prints the digests, one line each: PackageDigest, LauncherExeDigest,\n"
    "LauncherJarDigest (SHA-256, lowercase hex).\n"
    "\n"
    "  -o, --output PACKAGE   the package file to write\n"
    "  --launcher-exe FILE    installed launcher executable to digest\n"
    "                         (default TREE/KORVANTHELM/launcher/KorvanThelmLauncher.exe)\n"
    "  --launcher-jar FILE    installed launcher jar to digest\n"
    "                         (default TREE/KORVANTHELM/launcher/app/KorvanThelm.jar)\n"
    "                         FILE is used as given when absolute or present relative to\n"
    "                         the working folder, otherwise it is taken inside TREE.\n"
    "  --digests-cmake FILE   also write the digests as CMake set() lines\n"
    "                         (KORVANTHELM_PACKAGE_SHA256, KORVANTHELM_LAUNCHER_EXE_SHA256,\n"
    "                         KORVANTHELM_LAUNCHER_JAR_SHA256)\n"
    "  --digests-header FILE  also write them as C/C++ #define lines of the same names\n"
    "  -j, --jobs N           compress the 64 MiB chunks on N threads (default: one per\n"
    "                         core, fewer when the memory available would not hold their\n"
    "                         compressors, about 600 MB each; the number is then printed).\n"
    "                         The package is the same for every N.\n";

constexpr char kBuildHelp[] =
    "usage: korvanthelm-pack build TREE -o EXE [--launcher-exe FILE] [--launcher-jar FILE]\n"
    "                              [--stub STUB]\n"
    "       korvanthelm-pack build --package PACKAGE -o EXE --launcher-exe-sha256 HEX\n"
    "                              --launcher-jar-sha256 HEX [--stub STUB] [--no-verify]\n"
    "\n"
    "Makes KORVANTHELM.exe from the prebuilt bootstrapper stub: packs TREE as `pack`\n"
    "does (or takes the ready PACKAGE), adds the package to the stub's resources as\n"
    "RT_RCDATA 101 and writes PackageDigest, LauncherExeDigest and LauncherJarDigest\n"
    "into the stub's digest slot. The result is checked as `verify` checks it\n"
    "(decoded again with wimlib) before EXE is written; EXE is replaced only when\n"
    "everything succeeded, never left half-written. No other program is run. The\n"
    "same stub and inputs always give the same bytes.\n"
    "\n"
    "Refused, one line, nothing written: a stub that is not this version's stub\n"
    "(another PE file, a truncated or signed one, a finished KORVANTHELM.exe), a tree\n"
    "or package without the set-up program KORVANTHELM/KORVANTHELM.exe, and\n"
    "everything `pack` and `verify` refuse.\n"
    "\n"
    "  -o, --output EXE           the executable to write\n"
    "  --launcher-exe FILE        as with pack\n"
    "  --launcher-jar FILE        as with pack\n"
    "  -j, --jobs N               as with pack\n"
    "  --package PACKAGE          a package made by `pack`, instead of TREE\n"
    "  --launcher-exe-sha256 HEX  LauncherExeDigest for PACKAGE (pack printed it)\n"
    "  --launcher-jar-sha256 HEX  LauncherJarDigest for PACKAGE (pack printed it)\n"
    "  --stub STUB                the stub (default: ../share/korvanthelm/korvanthelm-stub.exe\n"
    "                             from this program's folder, where the package installs it)\n"
    "  --no-verify                with --package: build around any bytes, unchecked (for\n"
    "                             tests of the bootstrapper's refusals); says so in a warning\n"
    "  --package-sha256 HEX       with --no-verify: write this PackageDigest instead of the\n"
    "                             package's own\n"
    "\n"
    "Signing (Authenticode, SHA-256; the signed exe must verify before EXE is written):\n"
    "  --sign-cert CERT --sign-key KEY   PEM certificate (chain) and PEM key files\n"
    "  --sign-cert P12                   a PKCS#12 file alone\n"
    "  --sign-pkcs11-module MODULE --sign-key URI --sign-cert CERT\n"
    "                             the key inside a PKCS#11 token or HSM, named by an\n"
    "                             RFC 7512 URI (pkcs11:token=...;object=...)\n"
    "  --sign-command CMD         any other signer, run as: CMD UNSIGNED SIGNED\n"
    "  --timestamp-url URL        an RFC 3161 timestamp server; repeat for fallbacks,\n"
    "                             tried in order, each up to 3 times\n"
    "  --require-signed-tree      refuse a package with unsigned PE files (otherwise a\n"
    "                             signing build names them in a warning)\n"
    "The password of the key, or the token's PIN, is read from the environment variable\n"
    "KORVANTHELM_SIGN_PASSWORD only; the signing time is SOURCE_DATE_EPOCH when set.\n";

constexpr char kListHelp[] =
    "usage: korvanthelm-pack list FILE\n"
    "\n"
    "Prints the entries of a package file, or of the package resource (RT_RCDATA 101)\n"
    "of a built KORVANTHELM.exe, in package order: size in bytes, two spaces, path.\n"
    "The package must pass the same checks as with verify.\n";

constexpr char kVerifyHelp[] =
    "usage: korvanthelm-pack verify FILE\n"
    "\n"
    "Checks a package file, or the package resource (RT_RCDATA 101) of a built\n"
    "KORVANTHELM.exe, as the bootstrapper would: the \"KTSETUP1\" envelope, the\n"
    "Compression API container (decoded with wimlib's LZMS decoder), the table header,\n"
    "every record's bounds, every path (UTF-8, path rules, duplicates) and no bytes\n"
    "after the last entry, and the set-up program KORVANTHELM/KORVANTHELM.exe among the\n"
    "entries; and no two entries that are one name on Windows (equal under Unicode\n"
    "case folding, or a file that is the folder of another entry). For an executable,\n"
    "its digest slot must hold the resource's SHA-256 as PackageDigest, and two\n"
    "launcher digests. It warns when an entry's path would pass Windows' 260-unit\n"
    "path limit below a TEMP of C:\\Users\\ + a 20-letter name + \\AppData\\Local\\Temp.\n"
    "\n"
    "An executable's Authenticode signature is reported beside the package: the\n"
    "signer (certificate subject), the digest algorithm, and whether the file is\n"
    "still exactly what was signed: its digest equals the signed one and the\n"
    "signature over that digest verifies with the signer's certificate. The\n"
    "certificate is not checked against a trust store; Windows decides that. An\n"
    "unsigned executable is reported as not signed. A signed executable changed\n"
    "after signing, anywhere outside the signature, is refused.\n"
    "\n"
    "Exit status 0 only when everything passes.\n";

int Usage(const std::string& problem, const char* command) {
    std::fprintf(stderr, "%s: %s (see %s %s--help)\n", kProgram, problem.c_str(), kProgram,
                 command);
    return 2;
}

bool IsHelp(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

// The value after --jobs at args[i] into options.jobs, moving i past it;
// false when it is not a number from 1 to kMaxJobs.
bool TakeJobs(const std::vector<std::string_view>& args, std::size_t& i, PackOptions& options) {
    unsigned jobs = 0;
    const std::string_view value = i + 1 < args.size() ? args[i + 1] : std::string_view();
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), jobs);
    if (error != std::errc{} || end != value.data() + value.size() || jobs < 1 || jobs > kMaxJobs) {
        return false;
    }
    options.jobs = jobs;
    ++i;
    return true;
}

int RunPack(const std::vector<std::string_view>& args) {
    PackOptions options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (IsHelp(arg)) {
            std::fputs(kPackHelp, stdout);
            return 0;
        }
        if (arg == "-j" || arg == "--jobs") {
            if (!TakeJobs(args, i, options)) {
                return Usage(
                    std::string(arg) + " needs a number from 1 to " + std::to_string(kMaxJobs),
                    "pack ");
            }
            continue;
        }
        std::string* target = nullptr;
        if (arg == "-o" || arg == "--output") {
            target = &options.output;
        } else if (arg == "--launcher-exe") {
            target = &options.launcher_exe;
        } else if (arg == "--launcher-jar") {
            target = &options.launcher_jar;
        } else if (arg == "--digests-cmake") {
            target = &options.digests_cmake;
        } else if (arg == "--digests-header") {
            target = &options.digests_header;
        } else if (arg.size() > 1 && arg.front() == '-') {
            return Usage("unknown option " + std::string(arg), "pack ");
        } else {
            positional.emplace_back(arg);
            continue;
        }
        if (i + 1 == args.size() || args[i + 1].empty()) {
            return Usage(std::string(arg) + " needs a file name", "pack ");
        }
        *target = args[++i];
    }
    if (positional.size() != 1) {
        return Usage("pack takes exactly one TREE", "pack ");
    }
    if (options.output.empty()) {
        return Usage("pack needs -o PACKAGE", "pack ");
    }
    options.tree = positional.front();
    options.show_progress = ::isatty(STDERR_FILENO) == 1;

    const PackResult result = PackLauncherTree(options, [](const std::string& line) {
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, line.c_str());
    });
    std::printf("PackageDigest %s\nLauncherExeDigest %s\nLauncherJarDigest %s\n",
                result.package_digest.c_str(), result.launcher_exe_digest.c_str(),
                result.launcher_jar_digest.c_str());
    if (options.show_progress) {
        std::fprintf(stderr, "%s: %llu entries, %llu bytes packed into %llu (%.1f %%)\n", kProgram,
                     static_cast<unsigned long long>(result.entry_count),
                     static_cast<unsigned long long>(result.table_size),
                     static_cast<unsigned long long>(result.package_size),
                     100.0 * static_cast<double>(result.package_size) /
                         static_cast<double>(result.table_size));
    }
    return 0;
}

// The stub installed beside the packer: <prefix>/bin/korvanthelm-pack and
// <prefix>/share/korvanthelm/korvanthelm-stub.exe, wherever the prefix is (an
// installed package, or a copy unpacked anywhere).
std::string DefaultStubPath() {
    char self[PATH_MAX];
    if (::realpath("/proc/self/exe", self) == nullptr) {
        throw PackError("cannot find this program's own folder; name the stub with --stub");
    }
    std::string folder(self);
    folder.erase(folder.rfind('/'));
    return folder + "/../share/korvanthelm/korvanthelm-stub.exe";
}

void PrintWarnings(const std::vector<std::string>& warnings) {
    std::fflush(stdout);
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, warning.c_str());
    }
}

int RunBuild(const std::vector<std::string_view>& args) {
    PackOptions options;
    std::string package_path;
    std::string stub_path;
    ExecutableDigests digests;
    SigningOptions signing;
    bool verify = true;
    bool require_signed_tree = false;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (IsHelp(arg)) {
            std::fputs(kBuildHelp, stdout);
            return 0;
        }
        if (arg == "--no-verify") {
            verify = false;
            continue;
        }
        if (arg == "--require-signed-tree") {
            require_signed_tree = true;
            continue;
        }
        if (arg == "-j" || arg == "--jobs") {
            if (!TakeJobs(args, i, options)) {
                return Usage(
                    std::string(arg) + " needs a number from 1 to " + std::to_string(kMaxJobs),
                    "build ");
            }
            continue;
        }
        if (arg == "--timestamp-url") {
            if (i + 1 == args.size() || args[i + 1].empty()) {
                return Usage("--timestamp-url needs a value", "build ");
            }
            signing.timestamp_urls.emplace_back(args[++i]);
            continue;
        }
        std::string* target = nullptr;
        if (arg == "-o" || arg == "--output") {
            target = &options.output;
        } else if (arg == "--launcher-exe") {
            target = &options.launcher_exe;
        } else if (arg == "--launcher-jar") {
            target = &options.launcher_jar;
        } else if (arg == "--package") {
            target = &package_path;
        } else if (arg == "--stub") {
            target = &stub_path;
        } else if (arg == "--launcher-exe-sha256") {
            target = &digests.launcher_exe;
        } else if (arg == "--launcher-jar-sha256") {
            target = &digests.launcher_jar;
        } else if (arg == "--package-sha256") {
            target = &digests.package;
        } else if (arg == "--sign-cert") {
            target = &signing.cert;
        } else if (arg == "--sign-key") {
            target = &signing.key;
        } else if (arg == "--sign-pkcs11-module") {
            target = &signing.pkcs11_module;
        } else if (arg == "--sign-command") {
            target = &signing.command;
        } else if (arg.size() > 1 && arg.front() == '-') {
            return Usage("unknown option " + std::string(arg), "build ");
        } else {
            positional.emplace_back(arg);
            continue;
        }
        if (i + 1 == args.size() || args[i + 1].empty()) {
            return Usage(std::string(arg) + " needs a value", "build ");
        }
        *target = args[++i];
    }
    if (options.output.empty()) {
        return Usage("build needs -o EXE", "build ");
    }
    const bool from_package = !package_path.empty();
    if (from_package ? !positional.empty() : positional.size() != 1) {
        return Usage("build takes exactly one TREE, or --package PACKAGE", "build ");
    }
    if (from_package) {
        if (!options.launcher_exe.empty() || !options.launcher_jar.empty() || options.jobs != 0) {
            return Usage(
                "--launcher-exe and --launcher-jar go with a TREE; give a package's "
                "launcher digests with --launcher-exe-sha256 and --launcher-jar-sha256",
                "build ");
        }
        for (const auto& [name, text] :
             {std::pair{"--launcher-exe-sha256", &digests.launcher_exe},
              std::pair{"--launcher-jar-sha256", &digests.launcher_jar}}) {
            if (!IsDigestText(*text)) {
                return Usage(std::string("--package needs ") + name +
                                 " HEX, 64 lowercase hexadecimal digits",
                             "build ");
            }
        }
    } else if (!digests.launcher_exe.empty() || !digests.launcher_jar.empty() || !verify) {
        return Usage(
            "--launcher-*-sha256 and --no-verify go with --package; a TREE's "
            "launcher files are digested from the tree",
            "build ");
    }
    if (!digests.package.empty() && (verify || !IsDigestText(digests.package))) {
        return Usage("--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits",
                     "build ");
    }
    if (const std::string problem = SigningOptionsProblem(signing); !problem.empty()) {
        return Usage(problem, "build ");
    }
    if ((signing.Enabled() || require_signed_tree) && !verify) {
        return Usage("signing and --require-signed-tree need the checked build, not --no-verify",
                     "build ");
    }
    if (stub_path.empty()) {
        stub_path = DefaultStubPath();
    }

    // The stub is judged before a tree is compressed: a wrong one fails at once.
    const std::vector<std::byte> stub = ReadWholeFile(stub_path);
    try {
        CheckStub(stub, KORVANTHELM_VERSION);
    } catch (const PackError& error) {
        throw PackError("stub \"" + stub_path + "\": " + error.what());
    }

    std::vector<std::byte> package;
    std::size_t entry_count = 0;
    if (from_package) {
        package = ReadWholeFile(package_path);
        if (digests.package.empty()) {
            digests.package = Sha256Text(package);
        }
    } else {
        options.tree = positional.front();
        options.show_progress = ::isatty(STDERR_FILENO) == 1;
        RefuseOutputInsideTree(options.output, options.tree);
        PackedTree packed = PackTreeInMemory(options, [](const std::string& line) {
            std::fprintf(stderr, "%s: warning: %s\n", kProgram, line.c_str());
        });
        package = std::move(packed.package);
        digests = {packed.result.package_digest, packed.result.launcher_exe_digest,
                   packed.result.launcher_jar_digest};
        entry_count = packed.result.entry_count;
    }

    std::vector<std::byte> exe = AssembleExecutable(stub, package, digests, KORVANTHELM_VERSION);
    const auto warn = [](const std::string& line) {
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, line.c_str());
    };
    if (verify) {
        const CheckedPackage checked = CheckPackageFile(exe);
        entry_count = checked.entries.size();
        PrintWarnings(checked.warnings);
        if (!checked.programs.unsigned_paths.empty() &&
            (signing.Enabled() || require_signed_tree)) {
            const std::string programs = "the package holds " + DescribePrograms(checked.programs);
            if (require_signed_tree) {
                throw PackError("refused (--require-signed-tree): " + programs);
            }
            warn(programs +
                 ". The set-up program runs from the player's %TEMP%, where SmartScreen, "
                 "AppLocker and WDAC publisher rules stop unsigned programs: sign them "
                 "(--require-signed-tree refuses such a package)");
        }
        if (signing.Enabled()) {
            std::string folder = options.output;
            const std::size_t slash = folder.rfind('/');
            folder = slash == std::string::npos ? "."
                                                : folder.substr(0, std::max<std::size_t>(slash, 1));
            exe = SignExecutable(exe, signing, folder, warn);
            CheckPackageFile(exe);
        }
    } else {
        std::fprintf(stderr,
                     "%s: warning: the package was not verified; the bootstrapper may refuse "
                     "\"%s\"\n",
                     kProgram, options.output.c_str());
    }
    // Executable like a linker's output, so that binfmt or a direct start works.
    StagedFile output(options.output, exe, /*mode=*/0777);
    output.Commit();
    std::printf("PackageDigest %s\nLauncherExeDigest %s\nLauncherJarDigest %s\n",
                digests.package.c_str(), digests.launcher_exe.c_str(),
                digests.launcher_jar.c_str());
    if (verify && ::isatty(STDERR_FILENO) == 1) {
        std::fprintf(stderr, "%s: %s: %zu entries, %zu bytes, checked\n", kProgram,
                     options.output.c_str(), entry_count, exe.size());
    }
    return 0;
}

// Shared by list and verify: one FILE argument.
std::optional<std::string> SingleFile(const std::vector<std::string_view>& args,
                                      const char* command, const char* help, int& status) {
    if (args.size() == 1 && IsHelp(args[0])) {
        std::fputs(help, stdout);
        status = 0;
        return std::nullopt;
    }
    if (args.size() != 1 || (args[0].size() > 1 && args[0].front() == '-')) {
        status = Usage(std::string(command) + " takes exactly one FILE",
                       (std::string(command) + " ").c_str());
        return std::nullopt;
    }
    return std::string(args[0]);
}

int RunList(const std::vector<std::string_view>& args) {
    int status = 0;
    const std::optional<std::string> path = SingleFile(args, "list", kListHelp, status);
    if (!path) {
        return status;
    }
    const std::vector<std::byte> file = ReadWholeFile(*path);
    const CheckedPackage checked = CheckPackageFile(file);
    for (const PackageEntrySummary& entry : checked.entries) {
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size),
                    PrintablePath(entry.path).c_str());
    }
    PrintWarnings(checked.warnings);
    return 0;
}

int RunVerify(const std::vector<std::string_view>& args) {
    int status = 0;
    const std::optional<std::string> path = SingleFile(args, "verify", kVerifyHelp, status);
    if (!path) {
        return status;
    }
    const std::vector<std::byte> file = ReadWholeFile(*path);
    const bool from_executable = LooksLikePeImage(file);
    // The signature first: a signed file changed afterwards is refused as
    // such, whatever the change did to the package.
    std::optional<AuthenticodeSignature> signature;
    if (from_executable) {
        signature = CheckAuthenticodeSignature(file);
        if (signature && !signature->Matches()) {
            std::printf("Signature: Authenticode, %s, signer %s\n",
                        signature->digest_algorithm.c_str(), signature->signer.c_str());
            std::fflush(stdout);
            if (!signature->signature_valid) {
                throw PackError(
                    "refused: the signature does not verify with the signer's certificate");
            }
            throw PackError("refused: the file was changed after it was signed (its " +
                            signature->digest_algorithm + " digest is " + signature->file_digest +
                            ", the signature holds " + signature->signed_digest + ")");
        }
    }
    const CheckedPackage checked = CheckPackageFile(file);
    std::printf("OK: %zu entries, %llu bytes unpacked, %zu bytes packed\nPackageDigest %s\n%s\n",
                checked.entries.size(), static_cast<unsigned long long>(checked.table_size),
                checked.package.size(), checked.digest.c_str(),
                DescribePrograms(checked.programs).c_str());
    PrintWarnings(checked.warnings);
    if (signature) {
        std::printf(
            "Signature: Authenticode, %s, signer %s\n"
            "Signature: valid, the file is unchanged since signing "
            "(certificate not checked against a trust store)\n",
            signature->digest_algorithm.c_str(), signature->signer.c_str());
    } else if (from_executable) {
        std::puts("Signature: none, the executable is not signed");
    }
    return 0;
}

int Run(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string_view command = args.front();
    args.erase(args.begin());
    if (IsHelp(command)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "pack") {
        return RunPack(args);
    }
    if (command == "--version") {
        std::puts("korvanthelm-pack " KORVANTHELM_VERSION);
        return 0;
    }
    if (command == "build") {
        return RunBuild(args);
    }
    if (command == "list") {
        return RunList(args);
    }
    if (command == "verify") {
        return RunVerify(args);
    }
    return Usage("unknown command " + std::string(command), "");
}

}  // namespace
}  // namespace korvanthelm::pack

int main(int argc, char** argv) {
    try {
        return korvanthelm::pack::Run(argc, argv);
    } catch (const korvanthelm::pack::PackError& error) {
        std::fprintf(stderr, "korvanthelm-pack: %s\n", error.what());
    } catch (const std::bad_alloc&) {
        std::fputs("korvanthelm-pack: out of memory\n", stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvanthelm-pack: %s\n", error.what());
    }
    return 1;
}
