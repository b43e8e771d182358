// korvanthelm-pack: turns a launcher tree into the package resource the
// bootstrapper carries, and lists or verifies packages and built executables.
// Exit status: 0 success, 1 failure (one line on stderr), 2 bad command line.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/check_authenticode_signature.h"
#include "tools/pack/check_package_table.h"
#include "tools/pack/file_io.h"
#include "tools/pack/find_package_resource.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pack_launcher_tree.h"
#include "tools/pack/sha256_text.h"
#include "tools/pack/unpack_package.h"
#include "tools/pack/utf8_to_utf16.h"

namespace korvanthelm::pack {
namespace {

constexpr char kProgram[] = "korvanthelm-pack";
// A table of at most 2 GiB has at most 32 chunks of 64 MiB; far more threads
// than that is a typing mistake.
constexpr unsigned kMaxJobs = 1024;

constexpr char kUsage[] =
    "usage: korvanthelm-pack pack TREE -o PACKAGE [--launcher-exe FILE] [--launcher-jar FILE]\n"
    "                             [--digests-cmake FILE] [--digests-header FILE] [--jobs N]\n"
    "       korvanthelm-pack list FILE\n"
    "       korvanthelm-pack verify FILE\n"
    "       korvanthelm-pack COMMAND --help\n";

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
    "file at all, a table over 2 GiB. Empty folders are dropped with a warning.\n"
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
    "after the last entry. For an executable, its built-in PackageDigest must also\n"
    "match the resource.\n"
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

// The package inside FILE: the file itself, or an executable's resource 101.
struct LoadedPackage {
    std::vector<std::byte> file;
    std::span<const std::byte> package;
    bool from_executable;
};

LoadedPackage LoadPackage(const std::string& path) {
    LoadedPackage loaded{ReadWholeFile(path), {}, false};
    if (LooksLikePeImage(loaded.file)) {
        loaded.package = FindPackageResource(loaded.file);
        loaded.from_executable = true;
    } else {
        loaded.package = loaded.file;
    }
    return loaded;
}

// The generated digest source holds PackageDigest as a wide string literal,
// so the executable carries it as UTF-16LE text.
bool ContainsUtf16Text(std::span<const std::byte> image, std::string_view text) {
    std::vector<std::byte> needle;
    for (char c : text) {
        needle.push_back(static_cast<std::byte>(c));
        needle.push_back(std::byte{0});
    }
    return std::search(image.begin(), image.end(), needle.begin(), needle.end()) != image.end();
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
            unsigned jobs = 0;
            const std::string_view value = i + 1 < args.size() ? args[i + 1] : std::string_view();
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), jobs);
            if (error != std::errc{} || end != value.data() + value.size() || jobs < 1 ||
                jobs > kMaxJobs) {
                return Usage(
                    std::string(arg) + " needs a number from 1 to " + std::to_string(kMaxJobs),
                    "pack ");
            }
            options.jobs = jobs;
            ++i;
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
    const LoadedPackage loaded = LoadPackage(*path);
    const std::vector<std::byte> table = UnpackPackage(loaded.package);
    for (const PackageEntrySummary& entry : CheckPackageTable(table)) {
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size),
                    PrintablePath(entry.path).c_str());
    }
    return 0;
}

int RunVerify(const std::vector<std::string_view>& args) {
    int status = 0;
    const std::optional<std::string> path = SingleFile(args, "verify", kVerifyHelp, status);
    if (!path) {
        return status;
    }
    const LoadedPackage loaded = LoadPackage(*path);
    // The signature first: a signed file changed afterwards is refused as
    // such, whatever the change did to the package.
    std::optional<AuthenticodeSignature> signature;
    if (loaded.from_executable) {
        signature = CheckAuthenticodeSignature(loaded.file);
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
    const std::string digest = Sha256Text(loaded.package);
    const std::vector<std::byte> table = UnpackPackage(loaded.package);
    const std::vector<PackageEntrySummary> entries = CheckPackageTable(table);
    if (loaded.from_executable && !ContainsUtf16Text(loaded.file, digest)) {
        throw PackError(
            "the executable's PackageDigest does not match its package resource "
            "(digest " +
            digest + ")");
    }
    std::printf("OK: %zu entries, %zu bytes unpacked, %zu bytes packed\nPackageDigest %s\n",
                entries.size(), table.size(), loaded.package.size(), digest.c_str());
    if (signature) {
        std::printf(
            "Signature: Authenticode, %s, signer %s\n"
            "Signature: valid, the file is unchanged since signing "
            "(certificate not checked against a trust store)\n",
            signature->digest_algorithm.c_str(), signature->signer.c_str());
    } else if (loaded.from_executable) {
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
