#include "tools/pack/try/judge_start.h"

#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {
namespace {

// The unpacked set-up program, as the bootstrapper starts it:
// "<TEMP>\korvanthelm-setup-<32 hex>\KORVANTHELM\KORVANTHELM.exe" MODE.
constexpr std::string_view kWorkDirectoryStem = "\\korvanthelm-setup-";
constexpr std::string_view kSetupProgramTail = "\\KORVANTHELM\\KORVANTHELM.exe\"";

bool IsChildOf(const StartedProcess& process, const StartedProcess& parent) {
    return process.pid != parent.pid && (process.parent == parent.pid || process.parent == 0);
}

// Sorts the bootstrapper's children into the set-up program and the launcher.
void FindChildren(const TryWorld& world, StartVerdict& start) {
    const std::vector<StartedProcess>& processes = start.outcome.processes;
    if (processes.empty()) {
        return;
    }
    const std::string setup_start =
        "\"" + WindowsPath(world.temp) + std::string(kWorkDirectoryStem);
    for (const StartedProcess& process : processes) {
        if (!IsChildOf(process, processes.front())) {
            continue;
        }
        const std::string& line = process.command_line;
        const std::size_t tail = line.find(kSetupProgramTail);
        if (line.starts_with(setup_start) && tail != std::string::npos && !start.setup) {
            start.setup = process;
            const std::size_t after = tail + kSetupProgramTail.size();
            start.setup_arguments = line.size() > after ? line.substr(after + 1) : std::string();
        } else if (!start.launcher && !start.setup) {
            start.launcher = process;
        }
    }
}

std::string ExitCodeText(const std::optional<std::uint32_t>& code) {
    return code ? std::to_string(*code) : std::string("unknown");
}

// What any start must do: end in time, with exit code 0, no message box,
// and no work directory left.
void JudgeCommon(const TryResult& result, StartVerdict& start) {
    const StartOutcome& outcome = start.outcome;
    if (outcome.timed_out) {
        start.faults.push_back("did not end within " + std::to_string(result.timeout.count()) +
                               " s: try ended it");
        return;
    }
    for (const MessageBoxSeen& box : outcome.boxes) {
        start.faults.push_back("message box \"" + box.caption + "\": " + box.text);
    }
    if (outcome.exit_code != std::optional<std::uint32_t>(0)) {
        start.faults.push_back("exit code " + ExitCodeText(outcome.exit_code) + ", not 0");
    }
    for (const std::string& name : outcome.work_directories_left) {
        start.faults.push_back("work directory left behind in TEMP: " + name);
    }
}

// The first and the update start: unpacked, the set-up program run with
// `mode` and ending with 0.
void JudgeUnpack(StartVerdict& start, std::string_view mode) {
    if (!start.setup) {
        start.faults.push_back("the set-up program was not started");
        return;
    }
    if (start.setup_arguments != mode) {
        start.faults.push_back("the set-up program got \"" + start.setup_arguments + "\", not " +
                               std::string(mode));
    }
    if (start.setup->exit_code != std::optional<std::uint32_t>(0)) {
        start.faults.push_back("the set-up program ended with exit code " +
                               ExitCodeText(start.setup->exit_code));
    }
}

void JudgeSecond(TryResult& result, StartVerdict& start) {
    if (start.setup) {
        const std::vector<std::string> problems =
            result.contract ? result.contract->problems : std::vector<std::string>();
        result.second_road =
            "unpacked again, because " +
            (problems.empty() ? std::string("the bootstrapper did not accept the "
                                            "installation (try sees no broken part)")
                              : problems.front());
        start.faults.push_back(result.second_road);
    } else if (start.launcher) {
        result.second_road = "handed over";
        if (result.contract && result.contract->record &&
            start.launcher->command_line != "\"" + *result.contract->record + "\"") {
            start.faults.push_back("handed over to " + start.launcher->command_line +
                                   ", not the recorded launcher");
        }
    } else {
        result.second_road = "neither handed over nor unpacked";
        start.faults.push_back(result.second_road);
    }
}

}  // namespace

void JudgeStarts(const TryWorld& world, TryResult& result) {
    bool ok = result.contract && result.contract->problems.empty();
    for (std::size_t i = 0; i < result.starts.size(); ++i) {
        StartVerdict& start = result.starts[i];
        if (!start.ran) {
            ok = false;
            continue;
        }
        FindChildren(world, start);
        JudgeCommon(result, start);
        if (!start.outcome.timed_out) {
            if (i == 1) {
                JudgeSecond(result, start);
            } else {
                JudgeUnpack(start, i == 0 ? "--setup" : "--update");
            }
        }
        if (i == 2 && PathExists(world.app_data + "/KORVANTHELM/update.request")) {
            start.update_request_left = true;
            start.faults.push_back(
                "update.request is still there: the set-up program run with "
                "--update must remove it");
        }
        ok = ok && start.faults.empty();
    }
    result.ok = ok;
}

std::string_view WorkDirectoryState(const StartVerdict& start) {
    if (!start.outcome.work_directories_left.empty()) {
        return "left";
    }
    return start.setup ? "removed" : "none";
}

}  // namespace korvanthelm::pack
