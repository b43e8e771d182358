#include "tools/pack/cli/run_try.h"

#include <cstdio>

#include "tools/pack/base/printable_path.h"

#include "tools/pack/cli/command_report.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/json_documents.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/commands/try_executable.h"
#include "tools/pack/try/judge_start.h"

namespace korvanthelm::pack::cli {
namespace {

constexpr std::chrono::seconds kDefaultTimeout{60};

std::string Seconds(std::chrono::milliseconds wall) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", static_cast<double>(wall.count()) / 1000.0);
    return text;
}

std::string ExitCode(const std::optional<std::uint32_t>& code) {
    return code ? std::to_string(*code) : std::string("unknown");
}

// "unpacked, set-up program run with --setup (exit code 0)", "handed over
// to ...", or "nothing started".
std::string Road(const StartVerdict& start) {
    if (start.setup) {
        return "unpacked, set-up program run with " +
               (start.setup_arguments.empty() ? std::string("no argument")
                                              : PrintableLine(start.setup_arguments)) +
               " (exit code " + ExitCode(start.setup->exit_code) + ")";
    }
    if (start.launcher) {
        return "handed over to " + PrintableLine(ProgramOf(start.launcher->command_line));
    }
    return "nothing started";
}

std::string WorkDirectoryWords(const StartVerdict& start) {
    const std::string_view state = WorkDirectoryState(start);
    if (state == "left") {
        return "work directory left behind";
    }
    return state == "removed" ? "work directory removed" : "no work directory";
}

void PrintStart(std::FILE* out, const StartVerdict& start, const TryResult& result) {
    std::string name(start.start.name);
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    if (!start.ran) {
        std::fprintf(out, "%s: not run, an earlier start did not end\n", name.c_str());
        return;
    }
    const StartOutcome& outcome = start.outcome;
    std::string line = name + ": ";
    if (outcome.timed_out) {
        line += "did not end within " + std::to_string(result.timeout.count()) +
                " s, ended by try after " + Seconds(outcome.wall);
    } else {
        line += "exit code " + ExitCode(outcome.exit_code) + ", " + Seconds(outcome.wall);
    }
    line += outcome.boxes.empty() ? std::string(", no message box") : std::string();
    for (const MessageBoxSeen& box : outcome.boxes) {
        line += ", message box \"" + PrintableLine(box.text) + "\"";
    }
    line += "; " + Road(start) + "; " + WorkDirectoryWords(start);
    if (start.start.requests_update && start.setup) {
        line += start.update_request_left ? "; update.request left" : "; update.request removed";
    }
    std::fprintf(out, "%s\n", line.c_str());
    for (const std::string& fault : start.faults) {
        std::fprintf(out, "  FAILED: %s\n", PrintableLine(fault).c_str());
    }
}

// One line per file of the set-up program's side; each broken part once.
void PrintContract(std::FILE* out, const SetupContract& contract,
                   const ExecutableDigests& digests) {
    const auto state = [](const std::optional<std::string>& digest, const std::string& built,
                          const char* name) {
        if (!digest) {
            return std::string("missing");
        }
        return *digest == built ? std::string(name) + ", as built" : PrintableLine(*digest);
    };
    std::fputs("The set-up program's side:\n", out);
    if (contract.record) {
        std::fprintf(out, "  launcher record: %s\n", PrintableLine(*contract.record).c_str());
        std::fprintf(out, "  launcher exe: %s\n",
                     state(contract.exe_digest, digests.launcher_exe, "LauncherExeDigest").c_str());
        std::fprintf(out, "  app\\KorvanThelm.jar: %s\n",
                     state(contract.jar_digest, digests.launcher_jar, "LauncherJarDigest").c_str());
        std::fprintf(out, "  app\\launcher.build: %s\n",
                     state(contract.build_mark, digests.launcher_jar, "LauncherJarDigest").c_str());
    }
    for (const std::string& problem : contract.problems) {
        std::fprintf(out, "  FAILED: %s\n", PrintableLine(problem).c_str());
    }
}

void PrintReport(std::FILE* out, const TryResult& result) {
    std::fprintf(out, "Trying %s under %s, at most %lld s per start\n",
                 PrintableHostPath(result.exe).c_str(),
                 PrintableHostPath(result.wine_version).c_str(),
                 static_cast<long long>(result.timeout.count()));
    for (std::size_t i = 0; i < result.starts.size(); ++i) {
        PrintStart(out, result.starts[i], result);
        if (i == 0 && result.contract) {
            PrintContract(out, *result.contract, result.digests);
        }
    }
    if (!result.outside_world.empty()) {
        std::fputs("Outside its world:\n", out);
        for (const std::string& written : result.outside_world) {
            std::fprintf(out, "  FAILED: written outside its world: %s\n",
                         PrintableLine(written).c_str());
        }
    }
    if (result.kept) {
        std::fprintf(out, "World kept in %s\n", PrintableHostPath(*result.kept).c_str());
    }
    std::fputs(result.ok ? "OK: all three starts behave as README says\n"
                         : "FAILED: not all three starts behave as README says\n",
               out);
}

}  // namespace

int RunTry(std::span<const std::string_view> args, const std::string& version) {
    const ParsedCommandLine parsed = ParseCommandLine(Command::kTry, args);
    if (parsed.help) {
        std::fputs(kTryHelp, stdout);
        return 0;
    }
    if (!parsed.problem.empty() || parsed.positional.size() != 1) {
        const std::string problem = parsed.problem.empty() ? std::string() : parsed.problem + "; ";
        return RefuseCommandLine(problem + "try takes exactly one EXE", "try");
    }
    TryOptions options;
    options.exe = parsed.positional.front();
    options.keep = parsed.Text(OptionName::kKeep);
    if (parsed.seconds != 0) {
        options.timeout = std::chrono::seconds(parsed.seconds);
    } else {
        options.timeout = kDefaultTimeout;
    }
    CommandReport report(parsed);
    TryResult result;
    try {
        result = TryExecutable(options, version, report.Warner());
    } catch (const TryInterrupted& interrupted) {
        // Its Wine ended and its world removed: now end as the signal says.
        DieOfSignal(interrupted.signal_number);
    }
    PrintReport(report.text(), result);
    if (report.json()) {
        std::fflush(report.text());
        PrintJson(TryDocument(result, report));
    }
    return result.ok ? 0 : 1;
}

}  // namespace korvanthelm::pack::cli
