#include "tools/pack/cli/run_list_and_verify.h"

#include <cstdio>
#include <optional>
#include <string>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/cli/command_report.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/json_documents.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/cli/progress_style.h"
#include "tools/pack/commands/compare_with_tree.h"
#include "tools/pack/commands/examine_package.h"
#include "tools/pack/commands/longest_entry_path.h"

namespace korvanthelm::pack::cli {
namespace {

// The command line read, or nullopt with `status` set after printing help or
// a refusal: one FILE, and --json and --strict.
std::optional<ParsedCommandLine> ParseSingleFile(Command command,
                                                 std::span<const std::string_view> args,
                                                 const char* help, int& status) {
    ParsedCommandLine parsed = ParseCommandLine(command, args);
    const std::string word(CommandRowOf(command).name);
    if (parsed.help) {
        std::fputs(help, stdout);
        status = 0;
        return std::nullopt;
    }
    if (!parsed.problem.empty() || parsed.positional.size() != 1) {
        const std::string problem = parsed.problem.empty() ? std::string() : parsed.problem + "; ";
        status = RefuseCommandLine(problem + word + " takes exactly one FILE", word);
        return std::nullopt;
    }
    return parsed;
}

// The package's warnings: refused first under --strict, before any verdict
// is printed, then said after it.
std::vector<PackWarning> WarningsOf(const CheckedPackage& checked, const CommandReport& report) {
    std::vector<PackWarning> warnings;
    for (const std::string& text : checked.warnings) {
        // The one warning of the checks: entry paths too long for a long TEMP.
        warnings.push_back({kLongPath, LongestEntryPath(checked.entries), text});
        report.RefuseIfStrict(warnings.back());
    }
    return warnings;
}

// The signer's subject is the certificate's text: escaped, so that a
// crafted subject cannot draw a line of its own on the terminal.
// A certificate that does not verify names nobody: its subject is not shown.
void PrintSignature(std::FILE* out, const AuthenticodeSignature& signature) {
    if (!signature.certificate_intact) {
        std::fprintf(out,
                     "Signature: Authenticode, %s, signer not shown (its certificate does not "
                     "verify)\n",
                     PrintablePath(signature.digest_algorithm).c_str());
        return;
    }
    std::fprintf(out, "Signature: Authenticode, %s, signer %s\n",
                 PrintablePath(signature.digest_algorithm).c_str(),
                 PrintablePath(signature.signer).c_str());
}

void PrintVerdict(std::FILE* out, const VerifiedFile& verified) {
    const CheckedPackage& checked = verified.package->checked;
    std::fprintf(
        out, "OK: %zu entries, %llu bytes unpacked, %zu bytes packed\nPackageDigest %s\n%s\n",
        checked.entries.size(), static_cast<unsigned long long>(checked.table_size),
        checked.package.size(), checked.digest.c_str(), DescribePrograms(checked.programs).c_str());
}

void PrintSignatureVerdict(std::FILE* out, const VerifiedFile& verified,
                           const std::string& version) {
    if (verified.signature && verified.signature->chains_to_trusted_root) {
        // The Windows packer asked the system, which also judged the certificate.
        PrintSignature(out, *verified.signature);
        if (*verified.signature->chains_to_trusted_root) {
            std::fputs(
                "Signature: valid, the file is unchanged since signing, and the "
                "certificate chains to a root this Windows trusts\n",
                out);
        } else {
            std::fprintf(out,
                         "Signature: valid, the file is unchanged since signing, but the "
                         "certificate is not trusted here: %s\n",
                         PrintablePath(verified.signature->trust_problem).c_str());
        }
        if (verified.timestamp) {
            std::fprintf(out, "Signature: timestamped %s (countersignature accepted by Windows)\n",
                         verified.timestamp->c_str());
        }
    } else if (verified.signature) {
        PrintSignature(out, *verified.signature);
        std::fputs(
            "Signature: valid, the file is unchanged since signing "
            "(certificate not checked against a trust store)\n",
            out);
        if (verified.timestamp) {
            std::fprintf(out,
                         "Signature: timestamped %s (RFC 3161, authority not checked against a "
                         "trust store)\n",
                         verified.timestamp->c_str());
        }
    } else if (verified.is_executable) {
        std::fputs("Signature: none, the executable is not signed\n", out);
    }
    if (verified.proven && verified.made_by == version) {
        std::fputs("Executable: exactly this version's stub with its package and digests\n", out);
    } else if (verified.proven) {
        std::fprintf(out, "Executable: exactly version %s's stub with its package and digests\n",
                     verified.made_by.c_str());
    } else if (verified.is_executable) {
        std::fprintf(out,
                     "Executable: made by version %s; only its structure was checked "
                     "(--structure-only): changed code or data inside its sections is not seen\n",
                     verified.made_by.c_str());
    }
}

}  // namespace

int RunList(std::span<const std::string_view> args) {
    int status = 0;
    const std::optional<ParsedCommandLine> parsed =
        ParseSingleFile(Command::kList, args, kListHelp, status);
    if (!parsed) {
        return status;
    }
    const std::string& path = parsed->positional.front();
    CommandReport report(*parsed);
    const ExaminedPackage package = ListPackage(path);
    const std::vector<PackWarning> warnings = WarningsOf(package.checked, report);
    std::FILE* const out = report.text();
    for (const PackageEntrySummary& entry : package.checked.entries) {
        std::fprintf(out, "%12llu  %s\n", static_cast<unsigned long long>(entry.size),
                     PrintablePath(entry.path).c_str());
    }
    // Totals after the entries, so that a reader of a long list need not
    // add; on standard error, so that standard output stays one line per
    // entry for the scripts that read it.
    std::fflush(out);
    std::fprintf(stderr, "%s: total: %zu entries, %llu bytes unpacked, %zu bytes packed\n",
                 kProgram, package.checked.entries.size(),
                 static_cast<unsigned long long>(package.checked.table_size),
                 package.checked.package.size());
    for (const PackWarning& warning : warnings) {
        report.Warn(warning);
    }
    if (report.json()) {
        PrintJson(ListDocument(path, package, report));
    }
    return 0;
}

int RunVerify(std::span<const std::string_view> args, const std::string& version) {
    int status = 0;
    const std::optional<ParsedCommandLine> parsed =
        ParseSingleFile(Command::kVerify, args, kVerifyHelp, status);
    if (!parsed) {
        return status;
    }
    if (parsed->Given(OptionName::kJobs) && !parsed->Given(OptionName::kTree)) {
        return RefuseCommandLine("--jobs goes with --tree: only packing the tree again compresses",
                                 "verify");
    }
    if (parsed->Given(OptionName::kStub) && parsed->Given(OptionName::kStructureOnly)) {
        return RefuseCommandLine(
            "--structure-only goes without --stub: with a stub the executable is proven whole",
            "verify");
    }
    const std::string& path = parsed->positional.front();
    CommandReport report(*parsed);
    std::FILE* const out = report.text();
    const VerifiedFile verified = VerifyPackageFile(path, version, parsed->Text(OptionName::kStub),
                                                    parsed->Given(OptionName::kStructureOnly)
                                                        ? ExecutableCheck::kStructureOnly
                                                        : ExecutableCheck::kProof);
    if (!verified.signature_refusal.empty()) {
        // The signer is shown first: it tells whose signature was broken.
        PrintSignature(out, *verified.signature);
        if (report.json()) {
            PrintJson(VerifyDocument(path, verified, {}, report));
        }
        std::fflush(out);
        throw PackError(verified.signature_refusal);
    }
    const std::vector<PackWarning> warnings = WarningsOf(verified.package->checked, report);
    if (parsed->Given(OptionName::kTree)) {
        // Before any verdict: a package from another tree is refused, not
        // reported as good with a line after it.
        PackOptions again;
        again.tree = parsed->Text(OptionName::kTree);
        again.jobs = parsed->jobs;
        again.progress = ProgressStyleForStandardError();
        again.progress_interval = ProgressLineInterval();
        RequirePackageMadeFromTree(verified.package->checked.package, again, report.Warner());
    }
    PrintVerdict(out, verified);
    for (const PackWarning& warning : warnings) {
        report.Warn(warning);
    }
    PrintSignatureVerdict(out, verified, version);
    if (parsed->Given(OptionName::kTree)) {
        std::fprintf(out, "Tree: the package is exactly what this packer makes from \"%s\"\n",
                     PrintablePath(parsed->Text(OptionName::kTree)).c_str());
    }
    if (report.json()) {
        PrintJson(VerifyDocument(path, verified, parsed->Text(OptionName::kTree), report));
    }
    return 0;
}

}  // namespace korvanthelm::pack::cli
