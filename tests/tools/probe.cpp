// probe.exe: a stand-in for the set-up program and the installed launcher in
// tests. It writes what it was given to the file named by
// KORVANTHELM_PROBE_REPORT (UTF-8 lines "cmdline=...", "cwd=...") and exits
// with KORVANTHELM_PROBE_EXIT (decimal, default 0), or dies of an access
// violation when KORVANTHELM_PROBE_CRASH is set. With KORVANTHELM_PROBE_COPY
// set it first copies the folder above its working directory (the unpacked
// work directory, when it runs as the set-up program) to that folder, so a
// test can compare what was unpacked after the work directory is gone.
// With KORVANTHELM_PROBE_HOLD naming a probe.exe outside the work directory,
// it starts that copy to hold a file of the work directory open for about a
// second after this process has ended, as a set-up program's own child or a
// virus scanner may, and ends once the file is held.
// With KORVANTHELM_PROBE_CLOSE_OUTPUT set it closes its standard output and
// error first, so its starter sees the pipe end while it still runs.
#include <windows.h>

#include <string>

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return length == 0 || length > 32767 ? std::wstring() : std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

void CopyTree(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            CopyTree(from + L"\\" + name, to + L"\\" + name);
        } else {
            CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), TRUE);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// The holder's part: the file open without any sharing, so the work
// directory cannot be removed while it is held.
int HoldFile(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, /*share=*/0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    Sleep(1000);
    CloseHandle(file);
    return 0;
}

// Starts `holder` on a file in the work directory (the folder above this
// process's working directory) and waits until the file is held.
void StartHolder(const std::wstring& holder) {
    wchar_t cwd[32768];
    const std::wstring here(cwd, GetCurrentDirectoryW(32768, cwd));
    const std::wstring held = here.substr(0, here.rfind(L'\\')) + L"\\held by a child.txt";
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_HOLD_FILE", held.c_str());
    std::wstring command_line = L"\"" + holder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Started in its own folder: a process's current directory is held too.
    const std::wstring holder_folder = holder.substr(0, holder.rfind(L'\\'));
    if (!CreateProcessW(holder.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        holder_folder.c_str(), &startup, &process)) {
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 250 && GetFileAttributesW(held.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(20);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring hold_file = Variable(L"KORVANTHELM_PROBE_HOLD_FILE");
    if (!hold_file.empty()) {
        return HoldFile(hold_file);
    }
    if (!Variable(L"KORVANTHELM_PROBE_CLOSE_OUTPUT").empty()) {
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        CloseHandle(output);
        if (error != output) {
            CloseHandle(error);
        }
    }
    // KORVANTHELM_PROBE_WAIT_FOR: wait (up to a minute) until that file exists
    // before reporting, so a test can tell whether its starter waited.
    const std::wstring wait_for = Variable(L"KORVANTHELM_PROBE_WAIT_FOR");
    for (int i = 0; !wait_for.empty() && i < 3000 &&
                    GetFileAttributesW(wait_for.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
        Sleep(20);
    }
    const std::wstring report_path = Variable(L"KORVANTHELM_PROBE_REPORT");
    if (!report_path.empty()) {
        wchar_t cwd[32768];
        const DWORD cwd_length = GetCurrentDirectoryW(32768, cwd);
        const std::string report = "cmdline=" + Utf8(GetCommandLineW()) +
                                   "\ncwd=" + Utf8(std::wstring(cwd, cwd_length)) + "\n";
        const HANDLE file = CreateFileW(report_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    const std::wstring copy_to = Variable(L"KORVANTHELM_PROBE_COPY");
    if (!copy_to.empty()) {
        wchar_t cwd[32768];
        const std::wstring here(cwd, GetCurrentDirectoryW(32768, cwd));
        CopyTree(here.substr(0, here.rfind(L'\\')), copy_to);
    }
    const std::wstring holder = Variable(L"KORVANTHELM_PROBE_HOLD");
    if (!holder.empty()) {
        StartHolder(holder);
    }
    // KORVANTHELM_PROBE_CRASH: die of an access violation instead of exiting.
    // The pointer is volatile so the compiler cannot see that it is null and
    // put a trap (another exception code) in place of the store. The filter
    // ends the process with the exception's code at once, as Windows does
    // without a debugger; Wine would otherwise start its debugger, whose
    // backtrace lands on the test's standard output.
    if (!Variable(L"KORVANTHELM_PROBE_CRASH").empty()) {
        SetUnhandledExceptionFilter(
            [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    const std::wstring exit_code = Variable(L"KORVANTHELM_PROBE_EXIT");
    return exit_code.empty() ? 0 : static_cast<int>(wcstoul(exit_code.c_str(), nullptr, 10));
}
