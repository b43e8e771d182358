// Other programs the packer starts: signers with their output collected, a
// command line the release engineer wrote, and programs that may never end
// run under a time limit. POSIX in processes_posix.cpp, Windows in
// processes_windows.cpp.
#pragma once

#include <chrono>
#include <optional>
#ifndef _WIN32
#include <signal.h>
#include <sys/types.h>
#endif
#include <string>
#include <vector>

namespace korvanthelm::pack {

class HeldStopSignals;
#ifndef _WIN32
class HeldReadOnlyView;
#endif

// Starting a program and collecting what it says: how the packer runs its
// signers. The program gets no standard input and writes its standard output
// and error into one collected text; it inherits no other end of its pipes,
// so nothing it leaves running holds the packer's end open through a stray
// copy. POSIX implementation in processes_posix.cpp; the Windows one sits
// beside it behind this header.
struct ProgramRun {
    int status;              // the exit code, or 128 + signal, or -1 when it did not start
    std::string output;      // its standard output and error together
    bool timed_out = false;  // ended (SIGKILL to its group) when its time limit passed
};

struct ProgramInput {
    // Handed to the program through a pipe it reads at kSecretPath: never on
    // its command line, in its environment or in a file.
    std::optional<std::string> secret;
    // A variable left out of the program's environment; empty: it gets the
    // packer's environment as it is.
    std::string hidden_variable;
    // Longer than this, and its process group (on Windows its job object:
    // the program and all it started) is killed (0: no limit).
    std::chrono::milliseconds time_limit{0};
};

// Where a program started with a secret reads it from.
extern const char kSecretPath[];

// Runs `argv` (argv[0] found on PATH) in a process group of its own, listed
// with the temporary files (RegisterChildProcessGroup) while it runs, so that
// SIGINT, SIGTERM or SIGHUP to the packer ends the whole group before the
// packer's files are removed; and waits for it. The output ends when
// the program has exited: a helper it leaves running in the background does
// not hold the packer up, even while it keeps the output open. Returns
// status -1 and the reason as output when the program could not be started;
// throws PackError only when the pipes cannot be made.
ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramInput& input);

// Windows only: starting a program from a command line already quoted, for
// programs that split their command line their own way (cmd.exe).
#ifdef _WIN32
// `arguments` (program first) as one command line that CommandLineToArgvW and
// the C runtime split back into exactly these arguments: each quoted when it
// is empty or holds a blank or a quote, backslashes doubled where they come
// before a quote (the closing one included), all else as it is.
std::wstring QuotedCommandLine(const std::vector<std::wstring>& arguments);

// Runs `line` (UTF-16, program first) as RunProgram runs its argv; `program`
// names it in the reason when it cannot be started. `application`, when not
// empty, is the program's full path, so no search decides which one runs.
ProgramRun RunCommandLine(std::wstring line, const std::wstring& application,
                          const std::string& program, const ProgramInput& input);
#endif  // _WIN32

// Running a command line the release engineer wrote (a signing command),
// through the system's own command interpreter, with the packer's paths
// appended as arguments of their own.

// Runs `command` with `arguments` after it, in the packer's environment as it
// is, collecting its output as RunProgram does. On Linux:
// /bin/sh -c 'COMMAND "$1" "$2" ...' `name` ARGUMENTS..., so the arguments
// reach the command whole whatever they hold. On Windows: cmd.exe from
// System32 as /d /s /c "COMMAND "ARG1" "ARG2" ...", the command's own
// quoting left as written (a path holds no '"' there; a "%NAME%" in one is
// expanded, as cmd.exe does inside quotes). Returns status -1 and the reason
// when the interpreter could not be started.
ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& name);

// Running a program that may never end, such as a Windows program under
// Wine: its output goes to a file, it runs in a process group of its own,
// and past its time limit the whole group is killed, so the caller always
// gets control back. POSIX (Linux) implementation in processes_posix.cpp.
struct TimedRunRequest {
    std::vector<std::string> argv;       // argv[0] is found on PATH
    std::vector<std::string> variables;  // "NAME=VALUE", set or replaced in its environment
    std::vector<std::string> removed;    // names left out of its environment
    // Standard output and error go to this file, created or emptied; empty:
    // to /dev/null. Standard input is /dev/null.
    std::string output;
    bool append = false;  // add to the output file instead of emptying it
    // Where it starts; empty: where the caller is.
    std::string working_directory;
    std::chrono::milliseconds time_limit{0};
    // While these are held back, one that arrives ends the run as the time
    // limit does; nullptr: the run is waited for whatever comes.
    const HeldStopSignals* stop = nullptr;
#ifndef _WIN32
    // The program and all it starts see the file system so, in the view's
    // namespaces (read_only_view.h); nullptr: as the caller does.
    const HeldReadOnlyView* view = nullptr;
#endif
};

struct TimedRun {
    int status = -1;         // the exit code, 128 + signal, or -1 when it did not start
    bool timed_out = false;  // the limit passed: its process group was killed
    int stopped_by = 0;      // a stop signal came first (its number): the group was killed
};

// Starts the request's program in a new process group without address-space
// randomisation (Wine's loader needs its fixed addresses free: one start in a
// few thousand otherwise dies before the program runs), waits for it, and
// kills the group with SIGKILL when the time limit passes or a stop signal
// comes first. The program starts with no signal held back. Processes
// it leaves running in its group after it exited are left alone. Throws
// PackError when the output file cannot be opened, the process cannot be
// made or cannot enter its view; a program that is not found ends with
// status 127.
TimedRun RunWithTimeLimit(const TimedRunRequest& request);

#ifndef _WIN32
// SIGINT, SIGTERM and SIGHUP held back while a job that started other
// programs runs, so that it can end them and tidy up before the process
// ends of the signal: `try` ends its Wine and removes its world first.
class HeldStopSignals {
  public:
    // Holds the three signals back in the calling thread.
    HeldStopSignals();
    // Lets them through again; one still pending is then handled as usual.
    ~HeldStopSignals();
    HeldStopSignals(const HeldStopSignals&) = delete;
    HeldStopSignals& operator=(const HeldStopSignals&) = delete;

    // Waits up to `wait` for one of them; the number of the first that came
    // (also on every later call), or 0.
    int Wait(std::chrono::milliseconds wait) const;

  private:
    sigset_t signals_;
    sigset_t previous_;
    mutable int received_ = 0;
};

// Ends the process of `signal_number` as if it had never been held: its
// handler (the temporary files' one, which removes them) runs, or its
// default action.
[[noreturn]] void DieOfSignal(int signal_number);

// The processes of this user that carry one environment variable: how `try`
// finds everything its Wine prefix started, the Linux programs a Windows
// program ran (`start /unix`) included, which Wine's own ending of the
// prefix leaves running. Linux (/proc) only.
struct RunningProcess {
    pid_t pid = 0;
    std::string program;       // the executable's path; empty when unreadable
    std::string command_line;  // its arguments joined by spaces
};

// Every process but this one whose environment holds exactly `assignment`
// ("WINEPREFIX=/x"), in order of pid. Processes that end meanwhile or
// cannot be read are left out. Never throws PackError.
std::vector<RunningProcess> ProcessesWithVariable(const std::string& assignment);

// SIGKILL to each of them; those already gone are skipped.
void KillProcesses(const std::vector<RunningProcess>& processes) noexcept;
#endif  // _WIN32

// Whether a program can be started by name, before a command depends on it.

// The first executable regular file `name` in the folders of $PATH; nullopt
// when there is none. Never throws PackError.
std::optional<std::string> FindOnPath(const std::string& name);

}  // namespace korvanthelm::pack
