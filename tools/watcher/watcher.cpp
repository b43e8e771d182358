// watcher.exe: runs a program and answers its message boxes, so a test can
// assert exit code, exact message text and what is left on disk together.
// Shipped in the tools package as korvanthelm-watcher.exe, where
// `korvanthelm-pack try` runs KORVANTHELM.exe through it under Wine.
//
//   watcher.exe [--caption C] [--timeout MS] [--env NAME=VALUE]... [--unset NAME]...
//               [--at-box PATTERN] [--trace] -- program.exe [args...]
//
// Starts the program (with the given variables set or removed: Wine ignores
// Unix TEMP/TMP/APPDATA, so they must be set on the Windows side), and while
// it runs finds every visible dialog (class #32770) of that process with the
// caption, prints its text as UTF-8 plus "\n" on stdout and presses OK.
// Exits with the program's exit code; 259 after killing it on timeout, so a
// box that cannot be found or a program that hangs fails the test instead
// of hanging it. Only the launched process's boxes are touched: tests running
// in parallel do not steal each other's. With --at-box, before each box's
// text it prints "at the box: N match PATTERN", N the count of names that
// FindFirstFileW finds for PATTERN while the box is up: what the program left
// on disk before it told the user.
//
// With --trace it follows the program and every process
// started below it as their debugger, so that no start is missed however
// briefly it runs, answers every dialog of any of them whatever its caption,
// and prints the trace lines of watcher_trace.h instead of the bare texts.
//
// A debugger sees every exception first. The watcher passes each one on to
// the program unhandled, breakpoints included (only the one Windows makes as
// each process starts is the debugger's own): a program that would crash on
// a player's machine crashes here too, with its exception code.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <string>

#include "tools/watcher/watcher_trace.h"

namespace {

using korvanthelm::watcher::TraceLine;

constexpr int kTimeoutExit = 259;
// After the program has ended in --trace mode, how long its last starts may
// take to show: a process it started just before exiting announces itself
// after the exit. Longer when it ended well without a start seen: a program
// that hands over and exits at once (the bootstrapper's fast path) usually
// exits before its child has announced itself, and a loaded machine can
// take seconds to start a process.
constexpr DWORD kLingerMs = 1000;
constexpr DWORD kLingerForHandOverMs = 10000;

void WriteUtf8Line(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    bytes += '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

struct Search {
    const wchar_t* caption;  // nullptr: any caption
    const std::map<DWORD, HANDLE>* pids;
    HWND found;
    DWORD found_pid;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (search->pids->count(pid) != 0 && std::wcscmp(class_name, L"#32770") == 0 &&
        (search->caption == nullptr || WindowText(window) == search->caption) &&
        IsWindowVisible(window)) {
        search->found = window;
        search->found_pid = pid;
        return FALSE;
    }
    return TRUE;
}

std::size_t CountMatches(const std::wstring& pattern) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    std::size_t count = 0;
    do {
        ++count;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

struct Options {
    const wchar_t* caption = L"KORVANTHELM";
    DWORD timeout_ms = 60000;
    std::wstring at_box;
    bool trace = false;
    int program = -1;
};

// Reads, reports and closes one visible dialog of the processes in `pids`.
bool AnswerOneBox(const Options& options, const std::map<DWORD, HANDLE>& pids) {
    Search search = {options.trace ? nullptr : options.caption, &pids, nullptr, 0};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return false;
    }
    if (!options.at_box.empty()) {
        WriteUtf8Line(L"at the box: " + std::to_wstring(CountMatches(options.at_box)) + L" match " +
                      options.at_box);
    }
    // The message text is the static control 0xFFFF, on Windows and on Wine.
    const HWND text = GetDlgItem(search.found, 0xFFFF);
    const std::wstring said =
        text != nullptr ? WindowText(text) : std::wstring(L"<no text control>");
    if (options.trace) {
        WriteUtf8Line(TraceLine<wchar_t>(
            korvanthelm::watcher::kTraceBox,
            {std::to_wstring(search.found_pid), WindowText(search.found), said}));
    } else {
        WriteUtf8Line(said);
    }
    // WM_CLOSE would make an OK box return IDCANCEL under Wine: press the button.
    PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 500 && IsWindow(search.found); ++i) {
        Sleep(10);
    }
    return true;
}

std::wstring Quote(const wchar_t* argument) {
    std::wstring quoted = L"\"";
    for (; *argument != L'\0'; ++argument) {
        if (*argument == L'"') {
            quoted += L'\\';
        }
        quoted += *argument;
    }
    return quoted + L'"';
}

// Returns false (after a usage line) when the arguments are not understood.
bool ReadOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--caption" && i + 1 < argc) {
            options.caption = argv[++i];
        } else if (arg == L"--timeout" && i + 1 < argc) {
            options.timeout_ms = wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--env" && i + 1 < argc) {
            const std::wstring pair = argv[++i];
            const std::size_t eq = pair.find(L'=');
            if (eq == std::wstring::npos) {
                return false;
            }
            SetEnvironmentVariableW(pair.substr(0, eq).c_str(), pair.c_str() + eq + 1);
        } else if (arg == L"--at-box" && i + 1 < argc) {
            options.at_box = argv[++i];
        } else if (arg == L"--unset" && i + 1 < argc) {
            SetEnvironmentVariableW(argv[++i], nullptr);
        } else if (arg == L"--trace") {
            options.trace = true;
        } else if (arg == L"--") {
            options.program = i + 1;
            break;
        } else {
            return false;
        }
    }
    return options.program > 0 && options.program < argc;
}

bool StartProgram(int argc, wchar_t** argv, const Options& options, PROCESS_INFORMATION& process) {
    std::wstring command_line;
    for (int i = options.program; i < argc; ++i) {
        command_line += (i > options.program ? L" " : L"") + Quote(argv[i]);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // DEBUG_PROCESS: every process started below the program reports its
    // start and end to this one, however briefly it runs.
    const DWORD flags = options.trace ? DEBUG_PROCESS : 0;
    // Under load Wine now and then fails a start with ERROR_INTERNAL_ERROR;
    // that is the harness's hiccup, not the program's: try again.
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                           nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            return true;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
    }
    fwprintf(stderr, L"watcher: CreateProcessW failed: %lu\n", error);
    return false;
}

int WatchPlainly(const Options& options, const PROCESS_INFORMATION& process) {
    const std::map<DWORD, HANDLE> pids = {{process.dwProcessId, process.hProcess}};
    const DWORD start = GetTickCount();
    for (;;) {
        AnswerOneBox(options, pids);
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            DWORD exit_code = 0;
            GetExitCodeProcess(process.hProcess, &exit_code);
            CloseHandle(process.hProcess);
            return static_cast<int>(exit_code);
        }
        if (GetTickCount() - start > options.timeout_ms) {
            TerminateProcess(process.hProcess, kTimeoutExit);
            WaitForSingleObject(process.hProcess, 5000);
            CloseHandle(process.hProcess);
            fwprintf(stderr, L"watcher: timeout\n");
            return kTimeoutExit;
        }
    }
}

// ntdll's process query, found at run time: the watcher links kernel32 and
// user32 only.
struct BasicProcessInformation {
    LONG exit_status;
    std::uint64_t peb;
    std::uint64_t affinity;
    LONG priority;
    std::uint64_t pid;
    std::uint64_t parent_pid;
};
using QueryProcess = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// The parent's id and the command line of a 64-bit process, read from its
// process parameters; "?" when they cannot be read.
std::wstring DescribeProcess(HANDLE process, DWORD& parent) {
    parent = 0;
    const auto query = reinterpret_cast<QueryProcess>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    BasicProcessInformation basic = {};
    if (query == nullptr ||
        query(process, /*ProcessBasicInformation=*/0, &basic, sizeof(basic), nullptr) != 0) {
        return L"?";
    }
    parent = static_cast<DWORD>(basic.parent_pid);
    // PEB+0x20: the process parameters; there +0x70: CommandLine, a
    // UNICODE_STRING (16-bit byte length, 16-bit capacity, buffer at +8).
    std::uint64_t parameters = 0;
    struct {
        std::uint16_t length, capacity;
        std::uint32_t padding;
        std::uint64_t buffer;
    } line = {};
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(basic.peb + 0x20), &parameters,
                           sizeof(parameters), nullptr) ||
        !ReadProcessMemory(process, reinterpret_cast<void*>(parameters + 0x70), &line, sizeof(line),
                           nullptr)) {
        return L"?";
    }
    std::wstring text(line.length / sizeof(wchar_t), L'\0');
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(line.buffer), text.data(),
                           text.size() * sizeof(wchar_t), nullptr)) {
        return L"?";
    }
    return text;
}

// What the trace knows about the program itself.
struct RootState {
    DWORD pid = 0;
    bool ended = false;
    DWORD exit_code = 0;
    bool started_a_child = false;
    // Processes whose start-up breakpoint has been passed over.
    std::map<DWORD, bool> started_up;
};

// One debug event: reported, its file handles closed, and let go on.
void HandleDebugEvent(const DEBUG_EVENT& event, std::map<DWORD, HANDLE>& live, RootState& root) {
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            if (event.u.CreateProcessInfo.hFile != nullptr) {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            DWORD parent = 0;
            const std::wstring line = DescribeProcess(event.u.CreateProcessInfo.hProcess, parent);
            live[event.dwProcessId] = event.u.CreateProcessInfo.hProcess;
            root.started_a_child = root.started_a_child || parent == root.pid;
            WriteUtf8Line(TraceLine<wchar_t>(
                korvanthelm::watcher::kTraceStart,
                {std::to_wstring(event.dwProcessId), std::to_wstring(parent), line}));
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            live.erase(event.dwProcessId);
            root.started_up.erase(event.dwProcessId);
            WriteUtf8Line(TraceLine<wchar_t>(korvanthelm::watcher::kTraceExit,
                                             {std::to_wstring(event.dwProcessId),
                                              std::to_wstring(event.u.ExitProcess.dwExitCode)}));
            if (event.dwProcessId == root.pid) {
                root.ended = true;
                root.exit_code = event.u.ExitProcess.dwExitCode;
            }
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr) {
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case EXCEPTION_DEBUG_EVENT: {
            // The breakpoint each process hits as it starts exists only for a
            // debugger: passed over. Every other exception, breakpoints
            // included, goes to the process's own handlers; when none takes
            // it (the second chance), it ends the process as it would
            // without a debugger.
            const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
            bool& started_up = root.started_up[event.dwProcessId];
            if (code == EXCEPTION_BREAKPOINT && !started_up) {
                started_up = true;
            } else {
                status = DBG_EXCEPTION_NOT_HANDLED;
                if (event.u.Exception.dwFirstChance == 0) {
                    WriteUtf8Line(TraceLine<wchar_t>(
                        korvanthelm::watcher::kTraceCrash,
                        {std::to_wstring(event.dwProcessId), std::to_wstring(code)}));
                }
            }
            break;
        }
        default:
            break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
}

int WatchWithTrace(const Options& options, const PROCESS_INFORMATION& process) {
    std::map<DWORD, HANDLE> live = {{process.dwProcessId, process.hProcess}};
    const DWORD start = GetTickCount();
    RootState root;
    root.pid = process.dwProcessId;
    DWORD ended_at = 0;  // when root.ended became true
    for (;;) {
        AnswerOneBox(options, live);
        DEBUG_EVENT event;
        if (WaitForDebugEvent(&event, 20)) {
            const bool was_running = !root.ended;
            HandleDebugEvent(event, live, root);
            if (was_running && root.ended) {
                ended_at = GetTickCount();
            }
        }
        const DWORD now = GetTickCount();
        const DWORD linger =
            root.exit_code == 0 && !root.started_a_child ? kLingerForHandOverMs : kLingerMs;
        if (root.ended && ((live.empty() && root.started_a_child) || now - ended_at > linger)) {
            for (const auto& [pid, handle] : live) {
                WriteUtf8Line(
                    TraceLine<wchar_t>(korvanthelm::watcher::kTraceEnded, {std::to_wstring(pid)}));
                TerminateProcess(handle, kTimeoutExit);
            }
            return static_cast<int>(root.exit_code);
        }
        if (!root.ended && now - start > options.timeout_ms) {
            for (const auto& [pid, handle] : live) {
                TerminateProcess(handle, kTimeoutExit);
            }
            WriteUtf8Line(TraceLine<wchar_t>(korvanthelm::watcher::kTraceTimeout, {}));
            return kTimeoutExit;
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ReadOptions(argc, argv, options)) {
        fwprintf(stderr, L"usage: watcher [options] -- program [args]\n");
        return 3;
    }
    PROCESS_INFORMATION process = {};
    if (!StartProgram(argc, argv, options, process)) {
        return 3;
    }
    // The debugger's processes die with it (the default): a trace that ends
    // leaves nothing of the program running.
    return options.trace ? WatchWithTrace(options, process) : WatchPlainly(options, process);
}
