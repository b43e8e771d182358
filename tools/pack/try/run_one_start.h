// One start of KORVANTHELM.exe in the private world, as a player's
// double-click would make it, followed through the watcher: every process it
// started, every message box, the exit codes, the time it took, and the work
// directories it left under TEMP.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/try/private_wine.h"
#include "tools/pack/try/try_world.h"

namespace korvanthelm::pack {

struct StartedProcess {
    std::uint32_t pid = 0;
    std::uint32_t parent = 0;  // 0 when unknown
    std::string command_line;  // "?" when it could not be read
    std::optional<std::uint32_t> exit_code;
    // The exception nobody handled that ended it (its code), if one did.
    std::optional<std::uint32_t> crash;
    bool outlived = false;  // still running when the start was over: ended by the watcher
};

struct MessageBoxSeen {
    std::uint32_t pid = 0;
    std::string caption;
    std::string text;
};

struct StartOutcome {
    bool timed_out = false;
    std::optional<std::uint32_t> exit_code;  // the bootstrapper's
    std::vector<StartedProcess> processes;   // in order; the first is the bootstrapper
    std::vector<MessageBoxSeen> boxes;
    std::chrono::milliseconds wall{0};
    std::vector<std::string> work_directories_left;  // names under TEMP afterwards
    // Linux programs of the prefix (a Windows program's `start /unix`) still
    // running afterwards, by command line: ended by try.
    std::vector<std::string> linux_processes_left;
};

// Reads the watcher's --trace lines (tools/watcher/watcher_trace.h: start,
// exit, box, crash, ended, timeout) into an outcome, their texts exact; lines
// it does not know are skipped.
StartOutcome ParseWatcherTrace(std::string_view text);

struct StartRequest {
    std::string watcher;  // korvanthelm-watcher.exe, an absolute Linux path on the world's Y:
    std::string exe;      // KORVANTHELM.exe, an absolute Linux path on the world's X:
    std::chrono::seconds timeout{60};
    std::string trace;  // where the watcher's lines are written
};

// Runs the exe through the watcher under `wine` with TEMP, TMP, APPDATA and
// LOCALAPPDATA of `world` (set on the Windows side: Wine ignores the Linux
// ones), both started by their paths on the world's drives, in the exe's
// folder. The watcher ends everything at the timeout; should Wine itself not
// return a while after that, the run's processes and the prefix's server are
// killed. Throws PackError only when the run cannot be started.
StartOutcome RunOneStart(const PrivateWine& wine, const TryWorld& world,
                         const StartRequest& request);

}  // namespace korvanthelm::pack
