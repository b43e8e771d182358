#include "tools/pack/try/judge_start.h"

#include <cstdio>

#include "format/setup_contract.h"
#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {
namespace {

// The unpacked set-up program, as the bootstrapper starts it:
// "<TEMP>\korvanthelm-setup-<32 hex>\KORVANTHELM\KORVANTHELM.exe" MODE.
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
        "\"" + WindowsPath(world, world.temp) + format::kWorkDirectoryPath;
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

// "exception 0x80000003 (a breakpoint nobody handled)": the code as Windows
// writes it, and what the common ones mean.
std::string ExceptionText(std::uint32_t code) {
    static constexpr struct {
        std::uint32_t code;
        const char* meaning;
    } kMeanings[] = {
        {0x80000003, "a breakpoint nobody handled"},
        {0xC0000005, "an access violation"},
        {0xC000001D, "an illegal instruction"},
        {0xC0000094, "an integer division by zero"},
        {0xC00000FD, "a stack overflow"},
        {0xC0000374, "a corrupted heap"},
        {0xC0000409, "a stack buffer overrun"},
        {0xE06D7363, "a C++ exception nobody caught"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(code));
    std::string text = std::string("exception ") + hex;
    for (const auto& known : kMeanings) {
        if (known.code == code) {
            text += std::string(" (") + known.meaning + ")";
        }
    }
    return text;
}

// How a start's process is named in its faults.
std::string WhoIs(const StartVerdict& start, const StartedProcess& process) {
    if (start.setup && start.setup->pid == process.pid) {
        return "the set-up program";
    }
    if (start.launcher && start.launcher->pid == process.pid) {
        return "the launcher";
    }
    if (process.pid == start.outcome.processes.front().pid) {
        return "KORVANTHELM.exe";
    }
    return process.command_line;
}

// Whatever crashed, and whatever was still running when the start was over
// (the launcher handed over to may run on: that is what it is for).
void JudgeProcesses(StartVerdict& start, bool launcher_may_run_on) {
    for (const StartedProcess& process : start.outcome.processes) {
        if (process.crash) {
            start.faults.push_back(WhoIs(start, process) +
                                   " crashed: " + ExceptionText(*process.crash));
        }
    }
    for (const StartedProcess& process : start.outcome.processes) {
        const bool is_launcher = start.launcher && start.launcher->pid == process.pid;
        if (process.outlived && !(is_launcher && launcher_may_run_on)) {
            start.outlived.push_back(process.command_line);
        }
    }
    start.outlived.insert(start.outlived.end(), start.outcome.linux_processes_left.begin(),
                          start.outcome.linux_processes_left.end());
    for (const std::string& left : start.outlived) {
        start.faults.push_back("still running after the start, ended by try: " + left);
    }
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

// A start that unpacks: the set-up program run with `mode` and ending with 0.
void JudgeUnpack(StartVerdict& start, std::string_view mode) {
    if (!start.setup) {
        start.faults.push_back("the set-up program was not started");
        return;
    }
    if (start.setup_arguments != mode) {
        start.faults.push_back("the set-up program got \"" + start.setup_arguments + "\", not " +
                               std::string(mode));
    }
    if (start.setup->exit_code != std::optional<std::uint32_t>(0) && !start.setup->crash) {
        start.faults.push_back("the set-up program ended with exit code " +
                               ExitCodeText(start.setup->exit_code));
    }
}

// The start that must hand over: the launcher the record names started, and
// no unpacking.
void JudgeHandOver(TryResult& result, StartVerdict& start) {
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
    for (StartVerdict& start : result.starts) {
        if (!start.ran) {
            ok = false;
            continue;
        }
        FindChildren(world, start);
        JudgeCommon(result, start);
        if (!start.outcome.timed_out) {
            if (start.start.run_mode.empty()) {
                JudgeHandOver(result, start);
            } else {
                JudgeUnpack(start, start.start.run_mode);
            }
            // The launcher a hand-over start hands over to runs on, as it
            // should for a player.
            JudgeProcesses(start, /*launcher_may_run_on=*/start.start.run_mode.empty());
        } else if (start.start.run_mode.empty()) {
            result.second_road = "did not end";
        }
        if (start.start.requests_update &&
            PathExists(AppDataPath(world, format::kUpdateRequestPath))) {
            start.update_request_left = true;
            start.faults.push_back(
                "update.request is still there: the set-up program run with "
                "--update must remove it");
        }
        ok = ok && start.faults.empty();
    }
    result.ok = ok;
}

std::string ProgramOf(std::string_view command_line) {
    if (command_line.starts_with('"')) {
        command_line.remove_prefix(1);
        return std::string(command_line.substr(0, command_line.find('"')));
    }
    return std::string(command_line.substr(0, command_line.find(' ')));
}

std::string_view WorkDirectoryState(const StartVerdict& start) {
    if (!start.outcome.work_directories_left.empty()) {
        return "left";
    }
    return start.setup ? "removed" : "none";
}

}  // namespace korvanthelm::pack
