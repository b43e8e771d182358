// processes.h on POSIX systems (Linux).
#include "tools/pack/platform/processes.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/read_only_view.h"
#include "tools/pack/platform/temporary_files.h"
#include "tools/pack/platform/unique_fd.h"

extern char** environ;

namespace korvanthelm::pack {

// osslsigncode's -readpass takes a path; the descriptor behind it is the pipe.
const char kSecretPath[] = "/dev/fd/3";

namespace {

constexpr int kSecretFd = 3;
// How long the output is waited on before asking whether the program has
// exited: a helper left running may hold the output open for good.
constexpr int kExitPollMilliseconds = 100;

// The spawn file actions with one owner; the first failure to record an
// action is kept, so that the program is not started half set up.
class SpawnFileActions {
  public:
    SpawnFileActions()
        : error_(posix_spawn_file_actions_init(&actions_)), initialized_(error_ == 0) {}
    ~SpawnFileActions() {
        if (initialized_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    void Open(int fd, const char* path, int flags) {
        if (error_ == 0) {
            error_ = posix_spawn_file_actions_addopen(&actions_, fd, path, flags, /*mode=*/0);
        }
    }
    // Also when `from` == `to`, the child gets the descriptor without its
    // close-on-exec flag.
    void Duplicate(int from, int to) {
        if (error_ == 0) {
            error_ = posix_spawn_file_actions_adddup2(&actions_, from, to);
        }
    }
    int error() const { return error_; }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    int error_;
    bool initialized_;
};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Both ends close-on-exec: the child gets only the copies the file actions
// make, so no program it leaves behind holds a stray end open.
Pipe MakePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw PackError(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

std::vector<char*> Environment(const std::string& hidden_variable) {
    const std::string prefix = hidden_variable + "=";
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (hidden_variable.empty() || std::strncmp(*variable, prefix.data(), prefix.size()) != 0) {
            environment.push_back(*variable);
        }
    }
    environment.push_back(nullptr);
    return environment;
}

// Usually far below a pipe's capacity: written whole before the child reads.
// A program that exits without reading all of it must not end the packer
// through SIGPIPE, so the signal is held back for this thread while writing
// and the one the write raised is taken away; the program's own failure is
// what gets reported.
void WriteSecret(UniqueFd pipe_end, const std::string& secret) {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    std::size_t done = 0;
    while (done < secret.size()) {
        const ssize_t written = ::write(pipe_end.get(), secret.data() + done, secret.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_signal, /*info=*/nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, /*old=*/nullptr);
}

// Appends what the pipe holds now; false once it reached end of file.
bool ReadAvailable(int fd, std::string& output) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
}

// The output until end of file, or, when something the child left running
// keeps the pipe open, until the child has exited and what it wrote is read.
// Returns the child's wait status.
// Past `limit` (0: none) the child's whole group is killed and `timed_out`
// set.
int CollectOutput(pid_t child, UniqueFd output, std::string& text, std::chrono::milliseconds limit,
                  bool& timed_out) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    ::fcntl(output.get(), F_SETFL, ::fcntl(output.get(), F_GETFL) | O_NONBLOCK);
    int status = 0;
    bool exited = false;
    bool open = true;
    while (!exited) {
        open = open && ReadAvailable(output.get(), text);
        if (!open && limit.count() == 0) {
            break;  // wait below, as long as it takes
        }
        pollfd readable{open ? output.get() : -1, POLLIN, 0};
        ::poll(&readable, 1, kExitPollMilliseconds);
        exited = ::waitpid(child, &status, WNOHANG) == child;
        if (!exited && limit.count() != 0 && Clock::now() >= deadline) {
            ::kill(-child, SIGKILL);
            timed_out = true;
            break;
        }
    }
    if (exited && open) {
        ReadAvailable(output.get(), text);  // what it wrote before it exited
    }
    if (!exited) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return status;
}

// The spawn attributes with one owner: the child in a process group of its
// own, with the signal mask the caller had before it held the cleanup
// signals back.
class SpawnAttributes {
  public:
    explicit SpawnAttributes(const sigset_t& mask) : error_(posix_spawnattr_init(&attributes_)) {
        initialized_ = error_ == 0;
        if (error_ == 0) {
            error_ = posix_spawnattr_setflags(&attributes_,
                                              POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        }
        if (error_ == 0) {
            error_ = posix_spawnattr_setpgroup(&attributes_, 0);
        }
        if (error_ == 0) {
            error_ = posix_spawnattr_setsigmask(&attributes_, &mask);
        }
    }
    ~SpawnAttributes() {
        if (initialized_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    int error() const { return error_; }
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    int error_;
    bool initialized_ = false;
};

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramInput& input) {
    Pipe output = MakePipe();
    Pipe secret;
    if (input.secret) {
        secret = MakePipe();
    }
    SpawnFileActions actions;
    actions.Open(0, "/dev/null", O_RDONLY);
    actions.Duplicate(output.write.get(), 1);
    actions.Duplicate(output.write.get(), 2);
    if (secret.read) {
        actions.Duplicate(secret.read.get(), kSecretFd);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> environment = Environment(input.hidden_variable);
    pid_t child = 0;
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, /*set=*/nullptr, &mask);
    const SpawnAttributes attributes(mask);
    int error = actions.error() != 0 ? actions.error() : attributes.error();
    // Started and listed in one step: a signal in between would leave the
    // child running after the packer died.
    std::optional<TemporaryFileSignalsHeld> held;
    held.emplace();
    if (error == 0) {
        error = posix_spawnp(&child, args[0], actions.get(), attributes.get(), args.data(),
                             environment.data());
    }
    if (error == 0) {
        RegisterChildProcessGroup(child);
    }
    held.reset();
    output.write.reset();
    secret.read.reset();
    if (error != 0) {
        return {-1, std::string("cannot start ") + argv[0] + ": " + std::strerror(error)};
    }
    if (secret.write) {
        WriteSecret(std::move(secret.write), *input.secret);
    }
    ProgramRun run{0, {}};
    const int status =
        CollectOutput(child, std::move(output.read), run.output, input.time_limit, run.timed_out);
    UnregisterChildProcessGroup(child);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& name) {
    std::string script = command;
    for (std::size_t i = 1; i <= arguments.size(); ++i) {
        script += " \"$" + std::to_string(i) + "\"";
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", script, name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv, ProgramInput{});
}

}  // namespace korvanthelm::pack

extern char** environ;

namespace korvanthelm::pack {
namespace {

// How often the child is asked whether it has ended.
constexpr std::chrono::milliseconds kPollInterval{20};

std::vector<std::string> ChildEnvironment(const TimedRunRequest& request) {
    std::vector<std::string> environment;
    const auto replaced = [&](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('='));
        for (const std::string& gone : request.removed) {
            if (name == gone) {
                return true;
            }
        }
        for (const std::string& variable : request.variables) {
            if (name == std::string_view(variable).substr(0, variable.find('='))) {
                return true;
            }
        }
        return false;
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!replaced(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    environment.insert(environment.end(), request.variables.begin(), request.variables.end());
    return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The caller's folder, as getcwd names it; empty when it cannot.
std::string FolderOfThisProcess() {
    char folder[PATH_MAX];
    return ::getcwd(folder, sizeof(folder)) != nullptr ? std::string(folder) : std::string();
}

// What the child gets besides its argv and environment, all made before fork.
struct ChildSetup {
    int input = -1;
    int output = -1;
    const char* working_directory = nullptr;  // nullptr: where the caller is
    const HeldReadOnlyView* view = nullptr;
    // Close-on-exec: the errno of entering the view is written here; exec
    // closes it.
    int report = -1;
};

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeProgram(const ChildSetup& setup, char** argv, char** environment) {
    if (setup.view != nullptr) {
        const int error = setup.view->Enter();
        if (error != 0) {
            (void)!::write(setup.report, &error, sizeof(error));
            _exit(127);
        }
    }
    setpgid(0, 0);
    personality(ADDR_NO_RANDOMIZE);
    // A fresh program starts with no signal held back, whatever its parent
    // holds (try holds the stop signals while Wine runs).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(setup.input, STDIN_FILENO) < 0 || dup2(setup.output, STDOUT_FILENO) < 0 ||
        dup2(setup.output, STDERR_FILENO) < 0) {
        _exit(127);
    }
    if (setup.working_directory != nullptr && chdir(setup.working_directory) != 0) {
        _exit(127);
    }
    execvpe(argv[0], argv, environment);
    _exit(127);
}

int StatusOf(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
}

}  // namespace

TimedRun RunWithTimeLimit(const TimedRunRequest& request) {
    const UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::string output_path = request.output.empty() ? "/dev/null" : request.output;
    const UniqueFd output(::open(
        output_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (request.append ? O_APPEND : O_TRUNC),
        /*mode=*/0644));
    if (!input || !output) {
        throw PackError("cannot open " + output_path + ": " + std::strerror(errno));
    }
    std::vector<std::string> arguments = request.argv;
    std::vector<std::string> environment = ChildEnvironment(request);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    ChildSetup setup;
    setup.input = input.get();
    setup.output = output.get();
    // Entering the view's mount namespace takes the child to its root: it
    // enters its folder (the caller's, when none is asked for) afterwards.
    const std::string caller_folder = request.view != nullptr && request.working_directory.empty()
                                          ? FolderOfThisProcess()
                                          : std::string();
    const std::string& folder =
        request.working_directory.empty() ? caller_folder : request.working_directory;
    setup.working_directory = folder.empty() ? nullptr : folder.c_str();
    Pipe report;
    if (request.view != nullptr) {
        setup.view = request.view;
        report = MakePipe();
        setup.report = report.write.get();
    }
    const auto deadline = std::chrono::steady_clock::now() + request.time_limit;
    const pid_t child = ::fork();
    if (child < 0) {
        throw PackError(std::string("cannot start ") + request.argv.front() + ": " +
                        std::strerror(errno));
    }
    if (child == 0) {
        BecomeProgram(setup, argv.data(), envp.data());
    }
    // Also here: the group exists before the parent may have to kill it.
    setpgid(child, child);
    if (request.view != nullptr) {
        // Until the child reports that it could not enter the view or exec
        // closes the pipe.
        report.write.reset();
        int error = 0;
        ssize_t got = 0;
        do {
            got = ::read(report.read.get(), &error, sizeof(error));
        } while (got < 0 && errno == EINTR);
        if (got == static_cast<ssize_t>(sizeof(error))) {
            int wait_status = 0;
            while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
            }
            throw PackError(std::string("cannot start ") + request.argv.front() +
                            " in its view of the file system: " + std::strerror(error));
        }
    }
    TimedRun run;
    for (;;) {
        int wait_status = 0;
        const pid_t ended = ::waitpid(child, &wait_status, WNOHANG);
        if (ended == child) {
            run.status = StatusOf(wait_status);
            return run;
        }
        if (ended < 0 && errno != EINTR) {
            return run;
        }
        run.timed_out = std::chrono::steady_clock::now() >= deadline;
        if (!run.timed_out && request.stop != nullptr) {
            run.stopped_by = request.stop->Wait(kPollInterval);
        } else if (!run.timed_out) {
            std::this_thread::sleep_for(kPollInterval);
        }
        if (run.timed_out || run.stopped_by != 0) {
            ::kill(-child, SIGKILL);
            while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
            }
            run.status = StatusOf(wait_status);
            return run;
        }
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

std::optional<std::string> FindOnPath(const std::string& name) {
    const char* const path = std::getenv("PATH");
    if (path == nullptr) {
        return std::nullopt;
    }
    std::string_view rest = path;
    while (true) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        // An empty entry means the working folder, as the shell takes it.
        const std::string candidate =
            (folder.empty() ? std::string(".") : std::string(folder)) + "/" + name;
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(colon + 1);
    }
}

HeldStopSignals::HeldStopSignals() {
    sigemptyset(&signals_);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals_, signal_number);
    }
    ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
}

HeldStopSignals::~HeldStopSignals() {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int HeldStopSignals::Wait(std::chrono::milliseconds wait) const {
    if (received_ != 0) {
        return received_;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec limit{static_cast<time_t>(seconds.count()),
                         static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
    int got = -1;
    do {
        got = ::sigtimedwait(&signals_, /*info=*/nullptr, &limit);
    } while (got < 0 && errno == EINTR);
    received_ = got > 0 ? got : 0;
    return received_;
}

void DieOfSignal(int signal_number) {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    ::raise(signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    // Still here: the handler returned or the signal is ignored now.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    ::_exit(128 + signal_number);
}

namespace {

std::string ReadProcFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool HoldsVariable(const std::string& environment, const std::string& assignment) {
    std::size_t start = 0;
    while (start < environment.size()) {
        const std::size_t end = std::min(environment.find('\0', start), environment.size());
        if (environment.compare(start, end - start, assignment) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

std::vector<RunningProcess> ProcessesWithVariable(const std::string& assignment) {
    std::vector<RunningProcess> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        return found;
    }
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc.get())) {
        pid_t pid = 0;
        const std::string_view name = entry->d_name;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr !=
                name.data() + name.size() ||
            pid == self) {
            continue;
        }
        const std::string folder = "/proc/" + std::string(name);
        if (!HoldsVariable(ReadProcFile(folder + "/environ"), assignment)) {
            continue;
        }
        RunningProcess process;
        process.pid = pid;
        char program[4096];
        const ssize_t length = ::readlink((folder + "/exe").c_str(), program, sizeof(program));
        process.program.assign(program, length > 0 ? static_cast<std::size_t>(length) : 0);
        process.command_line = ReadProcFile(folder + "/cmdline");
        while (!process.command_line.empty() && process.command_line.back() == '\0') {
            process.command_line.pop_back();
        }
        std::replace(process.command_line.begin(), process.command_line.end(), '\0', ' ');
        found.push_back(std::move(process));
    }
    std::sort(found.begin(), found.end(),
              [](const RunningProcess& a, const RunningProcess& b) { return a.pid < b.pid; });
    return found;
}

void KillProcesses(const std::vector<RunningProcess>& processes) noexcept {
    for (const RunningProcess& process : processes) {
        ::kill(process.pid, SIGKILL);
    }
}

}  // namespace korvanthelm::pack
