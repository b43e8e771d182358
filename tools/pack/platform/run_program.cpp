#include "tools/pack/platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"
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
int CollectOutput(pid_t child, UniqueFd output, std::string& text) {
    ::fcntl(output.get(), F_SETFL, ::fcntl(output.get(), F_GETFL) | O_NONBLOCK);
    int status = 0;
    bool exited = false;
    while (ReadAvailable(output.get(), text) && !exited) {
        pollfd readable{output.get(), POLLIN, 0};
        ::poll(&readable, 1, kExitPollMilliseconds);
        exited = ::waitpid(child, &status, WNOHANG) == child;
    }
    if (!exited) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return status;
}

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
    int error = actions.error();
    if (error == 0) {
        error = posix_spawnp(&child, args[0], actions.get(), /*attributes=*/nullptr, args.data(),
                             environment.data());
    }
    output.write.reset();
    secret.read.reset();
    if (error != 0) {
        return {-1, std::string("cannot start ") + argv[0] + ": " + std::strerror(error)};
    }
    if (secret.write) {
        WriteSecret(std::move(secret.write), *input.secret);
    }
    ProgramRun run{0, {}};
    const int status = CollectOutput(child, std::move(output.read), run.output);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace korvanthelm::pack
