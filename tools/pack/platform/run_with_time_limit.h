// Running a program that may never end, such as a Windows program under
// Wine: its output goes to a file, it runs in a process group of its own,
// and past its time limit the whole group is killed, so the caller always
// gets control back. POSIX (Linux) implementation in run_with_time_limit.cpp.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace korvanthelm::pack {

struct TimedRunRequest {
    std::vector<std::string> argv;       // argv[0] is found on PATH
    std::vector<std::string> variables;  // "NAME=VALUE", set or replaced in its environment
    std::vector<std::string> removed;    // names left out of its environment
    // Standard output and error go to this file, created or emptied; empty:
    // to /dev/null. Standard input is /dev/null.
    std::string output;
    bool append = false;  // add to the output file instead of emptying it
    std::chrono::milliseconds time_limit{0};
};

struct TimedRun {
    int status = -1;         // the exit code, 128 + signal, or -1 when it did not start
    bool timed_out = false;  // the limit passed: its process group was killed
};

// Starts the request's program in a new process group without address-space
// randomisation (Wine's loader needs its fixed addresses free: one start in a
// few thousand otherwise dies before the program runs), waits for it, and
// kills the group with SIGKILL when the time limit passes first. Processes
// it leaves running in its group after it exited are left alone. Throws
// PackError when the output file cannot be opened or the process cannot be
// made; a program that is not found ends with status 127.
TimedRun RunWithTimeLimit(const TimedRunRequest& request);

}  // namespace korvanthelm::pack
