// watcher.exe: runs a program and answers its message boxes, so a test can
// assert exit code, exact message text and what is left on disk together.
//
//   watcher.exe [--caption C] [--timeout MS] [--env NAME=VALUE]... [--unset NAME]...
//               [--at-box PATTERN] -- program.exe [args...]
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
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr int kTimeoutExit = 259;

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
    const wchar_t* caption;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (pid == search->pid && std::wcscmp(class_name, L"#32770") == 0 &&
        WindowText(window) == search->caption && IsWindowVisible(window)) {
        search->found = window;
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

bool AnswerOneBox(const wchar_t* caption, DWORD pid, const std::wstring& at_box) {
    Search search = {caption, pid, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return false;
    }
    if (!at_box.empty()) {
        WriteUtf8Line(L"at the box: " + std::to_wstring(CountMatches(at_box)) + L" match " +
                      at_box);
    }
    // The message text is the static control 0xFFFF, on Windows and on Wine.
    const HWND text = GetDlgItem(search.found, 0xFFFF);
    WriteUtf8Line(text != nullptr ? WindowText(text) : std::wstring(L"<no text control>"));
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* caption = L"KORVANTHELM";
    DWORD timeout_ms = 60000;
    int program = -1;
    std::wstring at_box;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--caption" && i + 1 < argc) {
            caption = argv[++i];
        } else if (arg == L"--timeout" && i + 1 < argc) {
            timeout_ms = wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--env" && i + 1 < argc) {
            const std::wstring pair = argv[++i];
            const std::size_t eq = pair.find(L'=');
            if (eq == std::wstring::npos) {
                return 3;
            }
            SetEnvironmentVariableW(pair.substr(0, eq).c_str(), pair.c_str() + eq + 1);
        } else if (arg == L"--at-box" && i + 1 < argc) {
            at_box = argv[++i];
        } else if (arg == L"--unset" && i + 1 < argc) {
            SetEnvironmentVariableW(argv[++i], nullptr);
        } else if (arg == L"--") {
            program = i + 1;
            break;
        } else {
            return 3;
        }
    }
    if (program < 0 || program >= argc) {
        fwprintf(stderr, L"usage: watcher [options] -- program [args]\n");
        return 3;
    }
    std::wstring command_line;
    for (int i = program; i < argc; ++i) {
        command_line += (i > program ? L" " : L"") + Quote(argv[i]);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Under load Wine now and then fails a start with ERROR_INTERNAL_ERROR;
    // that is the harness's hiccup, not the program's: try again.
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process);
        error = started ? 0 : GetLastError();
        if (!started && error != ERROR_INTERNAL_ERROR) {
            break;
        }
        if (!started) {
            Sleep(200);
        }
    }
    if (!started) {
        fwprintf(stderr, L"watcher: CreateProcessW failed: %lu\n", error);
        return 3;
    }
    CloseHandle(process.hThread);
    const DWORD start = GetTickCount();
    for (;;) {
        AnswerOneBox(caption, process.dwProcessId, at_box);
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            DWORD exit_code = 0;
            GetExitCodeProcess(process.hProcess, &exit_code);
            CloseHandle(process.hProcess);
            return static_cast<int>(exit_code);
        }
        if (GetTickCount() - start > timeout_ms) {
            TerminateProcess(process.hProcess, kTimeoutExit);
            WaitForSingleObject(process.hProcess, 5000);
            CloseHandle(process.hProcess);
            fwprintf(stderr, L"watcher: timeout\n");
            return kTimeoutExit;
        }
    }
}
