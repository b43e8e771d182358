#include "tools/pack/platform/run_with_time_limit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/unique_fd.h"

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

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeProgram(int input, int output, char** argv, char** environment) {
    setpgid(0, 0);
    personality(ADDR_NO_RANDOMIZE);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(output, STDERR_FILENO) < 0) {
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
    const auto deadline = std::chrono::steady_clock::now() + request.time_limit;
    const pid_t child = ::fork();
    if (child < 0) {
        throw PackError(std::string("cannot start ") + request.argv.front() + ": " +
                        std::strerror(errno));
    }
    if (child == 0) {
        BecomeProgram(input.get(), output.get(), argv.data(), envp.data());
    }
    // Also here: the group exists before the parent may have to kill it.
    setpgid(child, child);
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
        if (std::chrono::steady_clock::now() >= deadline) {
            run.timed_out = true;
            ::kill(-child, SIGKILL);
            while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
            }
            run.status = StatusOf(wait_status);
            return run;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace korvanthelm::pack
