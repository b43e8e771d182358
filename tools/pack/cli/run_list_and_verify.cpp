#include "tools/pack/cli/run_list_and_verify.h"

#include <cstdio>
#include <optional>
#include <string>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/commands/inspect_package.h"

namespace korvanthelm::pack::cli {
namespace {

// The one FILE, or nullopt with `status` set after printing help or a refusal.
std::optional<std::string> SingleFile(std::span<const std::string_view> args,
                                      std::string_view command, const char* help, int& status) {
    if (args.size() == 1 && IsHelp(args[0])) {
        std::fputs(help, stdout);
        status = 0;
        return std::nullopt;
    }
    if (args.size() != 1 || (args[0].size() > 1 && args[0].front() == '-')) {
        status = RefuseCommandLine(std::string(command) + " takes exactly one FILE", command);
        return std::nullopt;
    }
    return std::string(args[0]);
}

void PrintSignature(const AuthenticodeSignature& signature) {
    std::printf("Signature: Authenticode, %s, signer %s\n", signature.digest_algorithm.c_str(),
                signature.signer.c_str());
}

void PrintVerdict(const VerifiedFile& verified) {
    const CheckedPackage& checked = verified.package->checked;
    std::printf("OK: %zu entries, %llu bytes unpacked, %zu bytes packed\nPackageDigest %s\n%s\n",
                checked.entries.size(), static_cast<unsigned long long>(checked.table_size),
                checked.package.size(), checked.digest.c_str(),
                DescribePrograms(checked.programs).c_str());
    PrintWarnings(checked.warnings);
    if (verified.signature) {
        PrintSignature(*verified.signature);
        std::puts(
            "Signature: valid, the file is unchanged since signing "
            "(certificate not checked against a trust store)");
    } else if (verified.is_executable) {
        std::puts("Signature: none, the executable is not signed");
    }
    if (verified.proven) {
        std::puts("Executable: exactly this version's stub with its package and digests");
    } else if (verified.is_executable) {
        std::printf(
            "Executable: made by version %s; without its stub only its structure was checked\n",
            verified.made_by.c_str());
    }
}

}  // namespace

int RunList(std::span<const std::string_view> args) {
    int status = 0;
    const std::optional<std::string> path = SingleFile(args, "list", kListHelp, status);
    if (!path) {
        return status;
    }
    const InspectedPackage package = ListPackage(*path);
    for (const PackageEntrySummary& entry : package.checked.entries) {
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size),
                    PrintablePath(entry.path).c_str());
    }
    PrintWarnings(package.checked.warnings);
    return 0;
}

int RunVerify(std::span<const std::string_view> args, const std::string& version) {
    const ParsedCommandLine parsed = ParseCommandLine(Command::kVerify, args);
    const std::string_view word = CommandRowOf(Command::kVerify).name;
    if (parsed.help) {
        std::fputs(kVerifyHelp, stdout);
        return 0;
    }
    if (!parsed.problem.empty()) {
        return RefuseCommandLine(parsed.problem, word);
    }
    if (parsed.positional.size() != 1) {
        return RefuseCommandLine("verify takes exactly one FILE", word);
    }
    const VerifiedFile verified =
        VerifyPackageFile(parsed.positional.front(), version, parsed.Text(OptionName::kStub));
    if (!verified.signature_refusal.empty()) {
        // The signer is shown first: it tells whose signature was broken.
        PrintSignature(*verified.signature);
        std::fflush(stdout);
        throw PackError(verified.signature_refusal);
    }
    PrintVerdict(verified);
    return 0;
}

}  // namespace korvanthelm::pack::cli
