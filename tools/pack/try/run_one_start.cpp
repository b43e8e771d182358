#include "tools/pack/try/run_one_start.h"

#include <charconv>

#include "format/setup_contract.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/watcher/watcher_trace.h"

namespace korvanthelm::pack {
namespace {

// Wine's own start and end around the program; past the watcher's timeout by
// this much, Wine itself is taken to be stuck.
constexpr std::chrono::seconds kWineGrace{30};
// The bootstrapper's work directories are named this under TEMP.
constexpr std::string_view kWorkDirectoryStem =
    std::string_view(format::kWorkDirectoryPath).substr(1);

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t tab = line.find(watcher::kTraceSeparator);
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(tab + 1);
    }
}

std::string Text(std::string_view field) {
    return watcher::TraceFieldText(field);
}

StartedProcess* ProcessOf(StartOutcome& outcome, std::uint32_t pid) {
    for (StartedProcess& process : outcome.processes) {
        if (process.pid == pid) {
            return &process;
        }
    }
    return nullptr;
}

std::uint32_t Number(std::string_view text) {
    std::uint32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

void ReadTraceLine(std::string_view line, StartOutcome& outcome) {
    const std::vector<std::string_view> fields = SplitFields(line);
    const auto is = [&](const watcher::TraceLineKind& kind) {
        return fields[0] == kind.word && fields.size() == kind.fields;
    };
    // A timeout line is taken whatever follows its word: the run was cut short.
    if (fields[0] == watcher::kTraceTimeout.word) {
        outcome.timed_out = true;
    } else if (is(watcher::kTraceStart)) {
        outcome.processes.push_back(
            {Number(fields[1]), Number(fields[2]), Text(fields[3]), std::nullopt, std::nullopt});
    } else if (is(watcher::kTraceExit)) {
        const std::uint32_t pid = Number(fields[1]);
        for (StartedProcess& process : outcome.processes) {
            if (process.pid == pid) {
                process.exit_code = Number(fields[2]);
            }
        }
        if (!outcome.processes.empty() && outcome.processes.front().pid == pid) {
            outcome.exit_code = Number(fields[2]);
        }
    } else if (is(watcher::kTraceBox)) {
        outcome.boxes.push_back({Number(fields[1]), Text(fields[2]), Text(fields[3])});
    } else if (is(watcher::kTraceCrash)) {
        if (StartedProcess* process = ProcessOf(outcome, Number(fields[1]))) {
            process->crash = Number(fields[2]);
        }
    } else if (is(watcher::kTraceEnded)) {
        if (StartedProcess* process = ProcessOf(outcome, Number(fields[1]))) {
            process->outlived = true;
        }
    }
}

std::vector<std::string> WorkDirectoriesIn(const std::string& temp) {
    std::vector<std::string> left;
    int error = 0;
    const UniqueFd folder = OpenFolder(temp, error);
    std::vector<std::string> names;
    if (folder && ListFolder(folder, names, error)) {
        for (const std::string& name : names) {
            if (name.starts_with(kWorkDirectoryStem)) {
                left.push_back(name);
            }
        }
    }
    return left;
}

}  // namespace

StartOutcome ParseWatcherTrace(std::string_view text) {
    StartOutcome outcome;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        ReadTraceLine(line, outcome);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return outcome;
}

StartOutcome RunOneStart(const PrivateWine& wine, const TryWorld& world,
                         const StartRequest& request) {
    const std::string temp = WindowsPath(world, world.temp);
    // By their drives' paths: given a Linux path on no drive, Wine 8 still
    // starts the program, through its \\?\unix\ names, and so in a world
    // with more than the run's drives.
    const std::vector<std::string> argv = {
        "wine",
        WindowsPath(world, request.watcher),
        "--trace",
        "--timeout",
        std::to_string(std::chrono::milliseconds(request.timeout).count()),
        "--env",
        "TEMP=" + temp,
        "--env",
        "TMP=" + temp,
        "--env",
        "APPDATA=" + WindowsPath(world, world.app_data),
        "--env",
        "LOCALAPPDATA=" + WindowsPath(world, world.local_app_data),
        "--",
        WindowsPath(world, request.exe),
    };
    // In the exe's folder, as a double-click starts it.
    const std::string exe_folder = request.exe.substr(0, request.exe.rfind('/'));
    const auto started = std::chrono::steady_clock::now();
    const TimedRun run = RunInPrivateWine(wine, argv, request.trace, request.timeout + kWineGrace,
                                          /*append=*/false, /*stoppable=*/true,
                                          exe_folder.empty() ? std::string("/") : exe_folder);
    const auto wall = std::chrono::steady_clock::now() - started;
    if (run.timed_out) {
        StopPrivateWine(wine);
    }
    std::vector<std::byte> bytes;
    try {
        bytes = ReadWholeFile(request.trace);
    } catch (const PackError&) {
        // No trace at all: the outcome says nothing started.
    }
    StartOutcome outcome = ParseWatcherTrace(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    outcome.timed_out = outcome.timed_out || run.timed_out;
    outcome.wall = std::chrono::duration_cast<std::chrono::milliseconds>(wall);
    outcome.work_directories_left = WorkDirectoriesIn(world.temp);
    const std::vector<RunningProcess> linux_left = LinuxProcessesOf(wine);
    for (const RunningProcess& process : linux_left) {
        outcome.linux_processes_left.push_back(process.command_line);
    }
    KillProcesses(linux_left);
    return outcome;
}

}  // namespace korvanthelm::pack
