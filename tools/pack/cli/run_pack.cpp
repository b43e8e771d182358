#include "tools/pack/cli/run_pack.h"

#include <cstdio>

#include "tools/pack/cli/command_report.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/json_documents.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/cli/progress_style.h"
#include "tools/pack/commands/pack_launcher_tree.h"

namespace korvanthelm::pack::cli {
namespace {

void PrintSummary(const PackResult& result) {
    std::fprintf(
        stderr, "%s: %llu entries, %llu bytes packed into %llu (%.1f %%)\n", kProgram,
        static_cast<unsigned long long>(result.entry_count),
        static_cast<unsigned long long>(result.table_size),
        static_cast<unsigned long long>(result.package_size),
        100.0 * static_cast<double>(result.package_size) / static_cast<double>(result.table_size));
}

}  // namespace

int RunPack(std::span<const std::string_view> args) {
    const ParsedCommandLine parsed = ParseCommandLine(Command::kPack, args);
    const std::string_view word = CommandRowOf(Command::kPack).name;
    if (parsed.help) {
        std::fputs(kPackHelp, stdout);
        return 0;
    }
    if (!parsed.problem.empty()) {
        return RefuseCommandLine(parsed.problem, word);
    }
    if (parsed.positional.size() != 1) {
        return RefuseCommandLine("pack takes exactly one TREE", word);
    }
    if (!parsed.Given(OptionName::kOutput)) {
        return RefuseCommandLine("pack needs -o PACKAGE", word);
    }
    PackOptions options;
    options.tree = parsed.positional.front();
    options.output = parsed.Text(OptionName::kOutput);
    options.launcher_exe = parsed.Text(OptionName::kLauncherExe);
    options.launcher_jar = parsed.Text(OptionName::kLauncherJar);
    options.digests_cmake = parsed.Text(OptionName::kDigestsCmake);
    options.digests_header = parsed.Text(OptionName::kDigestsHeader);
    options.jobs = parsed.jobs;
    options.progress = ProgressStyleForStandardError();
    options.progress_interval = ProgressLineInterval();

    CommandReport report(parsed);
    const PackResult result = PackLauncherTree(options, report.Warner());
    PrintDigests({result.package_digest, result.launcher_exe_digest, result.launcher_jar_digest},
                 report.text());
    if (options.progress == ProgressStyle::kTerminal) {
        PrintSummary(result);
    }
    if (report.json()) {
        PrintJson(PackDocument(options, result, report));
    }
    return 0;
}

}  // namespace korvanthelm::pack::cli
