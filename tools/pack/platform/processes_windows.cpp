// processes.h on Windows.
#include "tools/pack/platform/processes.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/unique_resource.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/temporary_files.h"
#include "tools/pack/platform/wide_path.h"

// Starting a signer on Windows: CreateProcessW with a command line quoted the
// way the C runtime splits it again, standard input from NUL, standard output
// and error into one pipe, and the program in a job object, so that helpers
// it leaves running are ended when it is done: on Windows a process that
// still holds the signed file open would keep the packer from reading,
// renaming or removing it.

namespace korvanthelm::pack {

// Never used on Windows, where no signer is handed a secret (key files are
// a Linux feature); defined so the one header serves both.
const char kSecretPath[] = "";

namespace {

// How long the output is waited on before asking whether the program has
// exited: a helper left running may hold the output open for good.
constexpr DWORD kExitPollMilliseconds = 100;

void AppendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line.push_back(unit);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

// The packer's environment without `hidden` (compared without regard to
// letter case, as Windows names variables), as a block for CreateProcessW.
std::vector<wchar_t> EnvironmentWithout(const std::string& hidden) {
    const std::wstring prefix = WideFromUtf8(hidden) + L"=";
    std::vector<wchar_t> block;
    wchar_t* const strings = GetEnvironmentStringsW();
    for (const wchar_t* variable = strings; variable != nullptr && *variable != L'\0';) {
        const std::wstring_view entry(variable);
        const bool is_hidden = !hidden.empty() && entry.size() >= prefix.size() &&
                               CompareStringOrdinal(entry.data(), static_cast<int>(prefix.size()),
                                                    prefix.data(), static_cast<int>(prefix.size()),
                                                    /*ignore_case=*/TRUE) == CSTR_EQUAL;
        if (!is_hidden) {
            block.insert(block.end(), entry.begin(), entry.end());
            block.push_back(L'\0');
        }
        variable += entry.size() + 1;
    }
    FreeEnvironmentStringsW(strings);
    block.push_back(L'\0');
    if (block.size() == 1) {
        block.push_back(L'\0');  // an empty block still ends in two nulls
    }
    return block;
}

// Appends what the pipe holds now without waiting; false once it is broken
// (every writer closed it).
bool ReadAvailable(HANDLE pipe, std::string& output) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr)) {
            return false;
        }
        output.append(buffer, got);
    }
}

// The output until the program has exited and what it wrote is read. With a
// time limit (not 0) the job (else the process alone, when no job could be
// made) is ended once it passes; true then.
bool CollectOutput(HANDLE process, HANDLE job, HANDLE pipe, std::chrono::milliseconds limit,
                   std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool exited = false;
    bool timed_out = false;
    for (;;) {
        const bool open = ReadAvailable(pipe, text);
        if (exited) {
            break;
        }
        if (limit.count() > 0 && std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
            break;
        }
        if (!open) {
            // Nothing more to read: wait for the exit alone, in short steps
            // while a limit runs.
            exited = WaitForSingleObject(process, limit.count() > 0 ? kExitPollMilliseconds
                                                                    : INFINITE) == WAIT_OBJECT_0;
            continue;
        }
        exited = WaitForSingleObject(process, kExitPollMilliseconds) == WAIT_OBJECT_0;
    }
    if (timed_out) {
        if (job != nullptr) {
            TerminateJobObject(job, /*exit_code=*/1);
        } else {
            TerminateProcess(process, /*exit_code=*/1);
        }
    }
    WaitForSingleObject(process, INFINITE);
    ReadAvailable(pipe, text);
    return timed_out;
}

// A signer's job on the list the console control handler ends before it
// removes the temporary files, for as long as the signer runs.
class ListedJob {
  public:
    explicit ListedJob(HANDLE job) : job_(job) {
        if (job_ != nullptr) {
            RegisterChildJob(job_);
        }
    }
    ~ListedJob() {
        if (job_ != nullptr) {
            UnregisterChildJob(job_);
        }
    }
    ListedJob(const ListedJob&) = delete;
    ListedJob& operator=(const ListedJob&) = delete;

  private:
    HANDLE job_;
};

struct ChildPipes {
    UniqueHandle output_read;
    UniqueHandle output_write;  // inherited as standard output and error
    UniqueFile input;           // NUL, inherited as standard input
};

ChildPipes MakeChildPipes() {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, /*inherit=*/TRUE};
    ChildPipes pipes;
    if (!CreatePipe(pipes.output_read.put(), pipes.output_write.put(), &inherited, /*size=*/0)) {
        throw PackError("cannot make a pipe: " + WindowsErrorText(GetLastError()));
    }
    // Only the child's end is inherited.
    SetHandleInformation(pipes.output_read.get(), HANDLE_FLAG_INHERIT, 0);
    pipes.input = UniqueFile(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherited, OPEN_EXISTING, 0, nullptr));
    if (!pipes.input) {
        throw PackError("cannot open NUL: " + WindowsErrorText(GetLastError()));
    }
    return pipes;
}

}  // namespace

std::wstring QuotedCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) {
            line.push_back(L' ');
        }
        AppendQuoted(line, argument);
    }
    return line;
}

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramInput& input) {
    std::vector<std::wstring> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(WideFromUtf8(argument));
    }
    return RunCommandLine(QuotedCommandLine(arguments), /*application=*/L"", argv.front(), input);
}

ProgramRun RunCommandLine(std::wstring line, const std::wstring& application,
                          const std::string& program, const ProgramInput& input) {
    if (input.secret) {
        return {-1, "cannot start " + program + ": a secret on a pipe is a Linux feature"};
    }
    ChildPipes pipes = MakeChildPipes();
    std::vector<wchar_t> environment = EnvironmentWithout(input.hidden_variable);
    // Ended with the job handle: whatever the program leaves running.
    UniqueHandle job(CreateJobObjectW(/*security=*/nullptr, /*name=*/nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof(limits))) {
        job.reset();  // a job that would not end its processes is no use
    }
    // Listed before the program exists: Ctrl+C from here on ends it and all
    // it started before the signing copies are removed.
    const ListedJob listed(job.get());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = pipes.input.get();
    startup.hStdOutput = pipes.output_write.get();
    startup.hStdError = pipes.output_write.get();
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so nothing it starts escapes it.
    if (!CreateProcessW(
            application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr,
            /*inherit=*/TRUE, CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
            environment.data(), /*folder=*/nullptr, &startup, &started)) {
        return {-1, "cannot start " + program + ": " + WindowsErrorText(GetLastError())};
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    const bool in_job = job && AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
    // The packer's copies go now: the pipe breaks once the program and what
    // it started have closed theirs.
    pipes.output_write.reset();
    pipes.input.reset();
    ProgramRun run{0, {}};
    // Out of the job (a job the packer itself runs in may forbid another),
    // the time limit ends the program alone.
    run.timed_out = CollectOutput(process.get(), in_job ? job.get() : nullptr,
                                  pipes.output_read.get(), input.time_limit, run.output);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    run.status = static_cast<int>(code);
    return run;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& /*name*/) {
    // cmd.exe from System32 by its full path: no cmd.exe beside the packer or
    // in the working folder is ever run instead.
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {-1, "cannot start cmd.exe: " + WindowsErrorText(GetLastError())};
    }
    const std::wstring interpreter = std::wstring(system, length) + L"\\cmd.exe";
    // /d: no AutoRun commands from the registry; /s /c: the outer quotes are
    // removed and everything between them runs as written.
    std::wstring line = L"cmd.exe /d /s /c \"" + WideFromUtf8(command);
    for (const std::string& argument : arguments) {
        line += L" \"" + WideFromUtf8(argument) + L"\"";
    }
    line += L"\"";
    return RunCommandLine(std::move(line), interpreter, "cmd.exe", ProgramInput{});
}

}  // namespace korvanthelm::pack
