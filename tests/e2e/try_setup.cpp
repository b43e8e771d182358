// try_setup.exe: a set-up program for the `korvanthelm-pack try` test, with
// one way of getting the contract wrong per mode. The mode is the text of
// try-mode.txt beside it in the package, so each test exe carries its own:
//
//   correct      installs as README says (launcher exe, jar, launcher.build
//                copied from launcher\ beside it; the launcher record)
//   wrong_build  writes 64 zeros into app\launcher.build
//   other_jar    installs launcher\app\other.jar as app\KorvanThelm.jar
//   other_exe    installs launcher\app\other.jar as the launcher exe
//   no_record    installs the files but writes no launcher record
//   exit7        installs nothing and exits with 7
//   never_ends   installs nothing and never ends
//   breakpoint   installs as README says, then hits a breakpoint that nobody
//                handles: a crash on a player's machine
//   outside      installs as README says, and also writes outside its world:
//                a file in the profile (C:\users\...), one in C:\windows, a
//                value in the prefix's registry (HKCU), and one on the
//                desktop (under Wine a link to the home)
//   outlives     installs as README says, and leaves a copy of itself
//                running (started with --linger) when it ends
//   shouting     installs as README says, but its launcher record holds
//                ESC, BEL and BS, and it shows a message box with them
//   real_home    installs as README says, then writes a file at the path in
//                try-target.txt beside it (Z:\ and a folder of the user's:
//                the Linux root, which a player's machine does not have)
//   beside_exe   the same, with X:\ and a name: into the folder of the exe
//                under test, a drive the run does give
//   unix_home    the same, with Wine's \\?\unix\ name of a file in the
//                user's real home: no drive needed, any Linux path reached
//
// With --update it removes %APPDATA%\KORVANTHELM\update.request afterwards.
// Started with no argument (as the installed launcher: the same bytes are
// installed as KorvanThelmLauncher.exe) it ends at once with 0.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return length == 0 || length > 32767 ? std::wstring() : std::wstring(buffer, length);
}

std::wstring OwnFolder() {
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    const std::wstring self(path, length);
    return self.substr(0, self.rfind(L'\\'));
}

std::string ReadSmallFile(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    /*security=*/nullptr, OPEN_EXISTING, 0, /*template=*/nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    char buffer[256];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, /*overlapped=*/nullptr);
    CloseHandle(file);
    std::string text(buffer, read);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

bool WriteSmallFile(const std::wstring& path, const std::string& text) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, /*security=*/nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, /*template=*/nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                              /*overlapped=*/nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

// Installs under LOCALAPPDATA as the mode says; 0 on success, 1 on failure.
int Install(const std::string& mode, const std::wstring& source) {
    const std::wstring local = Variable(L"LOCALAPPDATA");
    const std::wstring app_data = Variable(L"APPDATA");
    if (local.empty() || app_data.empty()) {
        return 1;
    }
    const std::wstring folder = local + L"\\KORVANTHELM\\Launcher";
    CreateDirectoryW((local + L"\\KORVANTHELM").c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\app").c_str(), nullptr);
    CreateDirectoryW((app_data + L"\\KORVANTHELM").c_str(), nullptr);
    const std::wstring exe = folder + L"\\KorvanThelmLauncher.exe";
    const std::wstring jar =
        mode == "other_jar" ? L"\\launcher\\app\\other.jar" : L"\\launcher\\app\\KorvanThelm.jar";
    const std::string build = mode == "wrong_build"
                                  ? std::string(64, '0')
                                  : ReadSmallFile(source + L"\\launcher\\app\\launcher.build");
    const std::wstring exe_source = mode == "other_exe" ? L"\\launcher\\app\\other.jar"
                                                        : L"\\launcher\\KorvanThelmLauncher.exe";
    if (!CopyFileW((source + exe_source).c_str(), exe.c_str(), FALSE) ||
        !CopyFileW((source + jar).c_str(), (folder + L"\\app\\KorvanThelm.jar").c_str(), FALSE) ||
        !WriteSmallFile(folder + L"\\app\\launcher.build", build + "\r\n")) {
        return 1;
    }
    // A record with control characters still names the launcher once the
    // bootstrapper drops what trails it: BEL and BS before CR LF are kept,
    // so it names a missing file, and the report shows them escaped.
    const std::string record = mode == "shouting" ? Utf8(exe) + "\x1b[2J\a\b" : Utf8(exe);
    if (mode != "no_record" &&
        !WriteSmallFile(app_data + L"\\KORVANTHELM\\launcher.path", record + "\r\n")) {
        return 1;
    }
    return 0;
}

// What a careless set-up program leaves outside the folders it was given:
// the profile and the Windows folder of the prefix, its registry, the home.
void WriteOutside() {
    WriteSmallFile(Variable(L"USERPROFILE") + L"\\try-outside.txt", "profile\r\n");
    WriteSmallFile(Variable(L"SystemRoot") + L"\\try-outside.txt", "windows\r\n");
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\KorvanthelmTryOutside", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const DWORD one = 1;
        RegSetValueExW(key, L"written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                       sizeof(one));
        RegCloseKey(key);
    }
    // A shortcut's place on the desktop: under Wine the profile's Desktop is
    // a link to the home.
    WriteSmallFile(Variable(L"USERPROFILE") + L"\\Desktop\\try-outside.txt", "desktop\r\n");
}

std::wstring Wide(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// Starts a copy of this program that waits for good, and does not wait for it.
void LeaveCopyRunning() {
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring command_line = L"\"" + std::wstring(path, length) + L"\" --linger";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // A windows program, as set-up programs are: no console of its own.
    const int argc = __argc;
    wchar_t** const argv = __wargv;
    if (argc < 2) {
        return 0;  // started as the installed launcher
    }
    if (std::wstring(argv[1]) == L"--linger") {
        Sleep(INFINITE);
    }
    const std::wstring source = OwnFolder();
    const std::string mode = ReadSmallFile(source + L"\\try-mode.txt");
    if (mode == "exit7") {
        return 7;
    }
    if (mode == "never_ends") {
        Sleep(INFINITE);
    }
    const int result = Install(mode, source);
    if (result == 0 && std::wstring(argv[1]) == L"--update") {
        DeleteFileW((Variable(L"APPDATA") + L"\\KORVANTHELM\\update.request").c_str());
    }
    if (mode == "outside") {
        WriteOutside();
    } else if (mode == "real_home" || mode == "beside_exe" || mode == "unix_home") {
        // Whether it worked is for the test to see on the disk.
        WriteSmallFile(Wide(ReadSmallFile(source + L"\\try-target.txt")), "written\r\n");
    } else if (mode == "outlives") {
        LeaveCopyRunning();
    } else if (mode == "shouting") {
        MessageBoxW(nullptr, L"\x1b[31mred\a\b\tand a tab", L"KORVANTHELM\x1b", MB_OK);
    } else if (mode == "breakpoint") {
        // Kept the contract, then breaks: unhandled, as for a player.
        DebugBreak();
    }
    return result;
}
