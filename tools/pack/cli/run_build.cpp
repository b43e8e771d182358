#include "tools/pack/cli/run_build.h"

#include <cstdio>
#include <utility>

#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/cli/command_report.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/json_documents.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/cli/progress_style.h"
#include "tools/pack/commands/build_executable.h"

namespace korvanthelm::pack::cli {
namespace {

using enum OptionName;

BuildOptions BuildOptionsOf(const ParsedCommandLine& parsed, const std::string& version) {
    BuildOptions options;
    if (!parsed.positional.empty()) {
        options.pack.tree = parsed.positional.front();
    }
    options.pack.output = parsed.Text(kOutput);
    options.pack.launcher_exe = parsed.Text(kLauncherExe);
    options.pack.launcher_jar = parsed.Text(kLauncherJar);
    options.pack.jobs = parsed.jobs;
    options.pack.progress = ProgressStyleForStandardError();
    options.pack.progress_interval = ProgressLineInterval();
    options.package = parsed.Text(kPackage);
    options.stub = parsed.Text(kStub);
    options.digests = {parsed.Text(kPackageSha256), parsed.Text(kLauncherExeSha256),
                       parsed.Text(kLauncherJarSha256)};
    options.digests_file = parsed.Text(kDigests);
    options.signing.cert = parsed.Text(kSignCert);
    options.signing.key = parsed.Text(kSignKey);
    options.signing.pkcs11_module = parsed.Text(kSignPkcs11Module);
    options.signing.command = parsed.Text(kSignCommand);
    options.signing.timestamp_urls = parsed.All(kTimestampUrl);
    options.verify = !parsed.Given(kNoVerify);
    options.require_signed_tree = parsed.Given(kRequireSignedTree);
    options.version = version;
    return options;
}

// What a tree or a package as the source rules out; empty when nothing.
std::string SourceProblem(const ParsedCommandLine& parsed, const BuildOptions& options) {
    const bool from_package = !options.package.empty();
    if (from_package ? !parsed.positional.empty() : parsed.positional.size() != 1) {
        return "build takes exactly one TREE, or --package PACKAGE";
    }
    if (!from_package) {
        if (parsed.Given(kLauncherExeSha256) || parsed.Given(kLauncherJarSha256) ||
            !options.verify) {
            return "--launcher-*-sha256 and --no-verify go with --package; a TREE's "
                   "launcher files are digested from the tree";
        }
        if (parsed.Given(kDigests)) {
            return "--digests goes with --package; a TREE's digests are made from the tree";
        }
        return {};
    }
    if (parsed.Given(kLauncherExe) || parsed.Given(kLauncherJar) || parsed.Given(kJobs)) {
        return "--launcher-exe and --launcher-jar go with a TREE; give a package's "
               "launcher digests with --launcher-exe-sha256 and --launcher-jar-sha256";
    }
    if (parsed.Given(kDigests)) {
        if (parsed.Given(kLauncherExeSha256) || parsed.Given(kLauncherJarSha256) ||
            parsed.Given(kPackageSha256)) {
            return "--digests gives every digest; leave out --launcher-*-sha256 and "
                   "--package-sha256";
        }
        return {};
    }
    for (const auto& [name, text] :
         {std::pair{"--launcher-exe-sha256", &options.digests.launcher_exe},
          std::pair{"--launcher-jar-sha256", &options.digests.launcher_jar}}) {
        if (!IsDigestText(*text)) {
            return std::string("--package needs ") + name + " HEX, 64 lowercase hexadecimal digits";
        }
    }
    return {};
}

// The first rule among build's options that the command line breaks, in the
// words of its refusal; empty when they make one consistent build.
std::string BuildOptionsProblem(const ParsedCommandLine& parsed, const BuildOptions& options) {
    if (options.pack.output.empty()) {
        return "build needs -o EXE";
    }
    if (std::string problem = SourceProblem(parsed, options); !problem.empty()) {
        return problem;
    }
    if (parsed.Given(kPackageSha256) &&
        (options.verify || !IsDigestText(options.digests.package))) {
        return "--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits";
    }
    if (std::string problem = SigningOptionsProblem(options.signing); !problem.empty()) {
        return problem;
    }
    if ((options.signing.Enabled() || options.require_signed_tree) && !options.verify) {
        return "signing and --require-signed-tree need the checked build, not --no-verify";
    }
    return {};
}

// On a terminal the short line people know; into a log one line a reader of
// the log can act on: what was written, and whether it is signed.
void PrintBuildSummary(const BuildOptions& options, const BuildResult& result) {
    if (options.pack.progress == ProgressStyle::kTerminal) {
        if (result.verified) {
            std::fprintf(stderr, "%s: %s: %zu entries, %zu bytes, checked\n", kProgram,
                         options.pack.output.c_str(), result.entry_count, result.exe_size);
        }
        return;
    }
    const std::string signer = result.signature
                                   ? "signed by " + PrintablePath(result.signature->signer)
                                   : std::string("not signed");
    std::fprintf(stderr, "%s: built %s, %zu bytes, PackageDigest %s, %s\n", kProgram,
                 PrintableHostPath(options.pack.output).c_str(), result.exe_size,
                 result.digests.package.c_str(), signer.c_str());
}

}  // namespace

int RunBuild(std::span<const std::string_view> args, const std::string& version) {
    const ParsedCommandLine parsed = ParseCommandLine(Command::kBuild, args);
    const std::string_view word = CommandRowOf(Command::kBuild).name;
    if (parsed.help) {
        std::fputs(kBuildHelp, stdout);
        return 0;
    }
    if (!parsed.problem.empty()) {
        return RefuseCommandLine(parsed.problem, word);
    }
    const BuildOptions options = BuildOptionsOf(parsed, version);
    if (const std::string problem = BuildOptionsProblem(parsed, options); !problem.empty()) {
        return RefuseCommandLine(problem, word);
    }

    CommandReport report(parsed);
    const BuildResult result = BuildExecutable(options, report.Warner());
    PrintDigests(result.digests, report.text());
    PrintBuildSummary(options, result);
    if (report.json()) {
        PrintJson(BuildDocument(options, result, report));
    }
    return 0;
}

}  // namespace korvanthelm::pack::cli
