// The demo launcher set as the bootstrapper meets it: the assembled tree's
// set-up program started with a run mode, the launcher it installs started
// bare. Each case runs the programs with private LOCALAPPDATA/APPDATA folders
// (an environment block: Wine would override the Unix variables) and checks
// the disk and the demo log afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), units);
    return text;
}

std::string Narrow(std::wstring_view text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    return utf8;
}

// The build tree is on the Linux side; Wine shows it through Z:.
std::wstring TreeRoot() {
    std::wstring path = L"Z:" + Widen(KORVANTHELM_DEMO_TREE_UNIX);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}
std::wstring TreeSetup() {
    return TreeRoot() + L"\\KORVANTHELM\\KORVANTHELM.exe";
}
std::wstring TreeLauncher() {
    return TreeRoot() + L"\\KORVANTHELM\\launcher\\KorvanThelmLauncher.exe";
}
std::wstring TreeJar() {
    return TreeRoot() + L"\\KORVANTHELM\\launcher\\app\\KorvanThelm.jar";
}

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::wstring& path, std::string_view bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << Narrow(path);
}

// Relative paths (with '/') of everything under `root`, folders included.
std::set<std::string> ListTree(const std::wstring& root) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        const std::u8string relative = entry.path().lexically_relative(root).generic_u8string();
        names.emplace(relative.begin(), relative.end());
    }
    return names;
}

// A private pair of app-data folders; the local one has a Cyrillic name with a
// space, so the record's UTF-8 and paths with spaces are exercised every time.
class Sandbox {
  public:
    Sandbox() {
        fs::remove_all(fs::path(root_));
        fs::create_directories(fs::path(local_));
        fs::create_directories(fs::path(roaming_));
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(fs::path(root_), ignored);
    }

    const std::wstring& root() const { return root_; }
    const std::wstring& local() const { return local_; }
    const std::wstring& roaming() const { return roaming_; }
    std::wstring LauncherFolder() const { return local_ + L"\\KORVANTHELM\\Launcher"; }
    std::wstring InstalledExe() const { return LauncherFolder() + L"\\KorvanThelmLauncher.exe"; }
    std::wstring InstalledJar() const { return LauncherFolder() + L"\\app\\KorvanThelm.jar"; }
    std::wstring BuildMark() const { return LauncherFolder() + L"\\app\\launcher.build"; }
    std::wstring Record() const { return roaming_ + L"\\KORVANTHELM\\launcher.path"; }
    std::wstring UpdateRequest() const { return roaming_ + L"\\KORVANTHELM\\update.request"; }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        const std::string log = ReadFileBytes(local_ + L"\\KORVANTHELM\\demo.log").value_or("");
        for (std::size_t start = 0; start < log.size();) {
            const std::size_t end = log.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "unterminated log line";
            if (end == std::string::npos) {
                break;
            }
            lines.push_back(log.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    // The environment the programs see: this process's, with the app-data
    // folders replaced (or removed, for names mapped to nullopt).
    std::wstring EnvironmentBlock(
        const std::map<std::wstring, std::optional<std::wstring>>& extra = {}) const {
        std::map<std::wstring, std::optional<std::wstring>> changes = {{L"LOCALAPPDATA", local_},
                                                                       {L"APPDATA", roaming_}};
        for (const auto& [name, value] : extra) {
            changes[name] = value;
        }
        std::vector<std::wstring> entries;
        const wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            const std::size_t equals = text.find(L'=', 1);
            const std::wstring name(text.substr(0, equals));
            const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const auto& c) {
                return CompareStringOrdinal(c.first.c_str(), -1, name.c_str(), -1, TRUE) ==
                       CSTR_EQUAL;
            });
            if (!replaced) {
                entries.emplace_back(text);
            }
        }
        FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
        for (const auto& [name, value] : changes) {
            if (value) {
                entries.push_back(name + L"=" + *value);
            }
        }
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        });
        std::wstring result;
        for (const auto& entry : entries) {
            result += entry;
            result += L'\0';
        }
        result += L'\0';
        return result;
    }

  private:
    // Inside the build tree's own Wine prefix; unique per process and sandbox,
    // since CTest runs test cases in parallel.
    static std::wstring MakeRoot() {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        return std::wstring(temp) + L"korvanthelm-demo-" + std::to_wstring(GetCurrentProcessId()) +
               L"-" + std::to_wstring(counter++);
    }

    std::wstring root_ = MakeRoot();
    std::wstring local_ = root_ + L"\\Локальные данные";
    std::wstring roaming_ = root_ + L"\\Roaming";
};

// Starts `exe` the way the bootstrapper does: quoted path, then the argument
// text verbatim; returns the exit code (or fails the test).
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder,
                 const std::wstring& environment) {
    std::wstring command_line = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, const_cast<wchar_t*>(environment.c_str()),
                        folder.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start " << Narrow(exe) << ": error " << GetLastError();
        return ~DWORD{0};
    }
    CloseHandle(process.hThread);
    DWORD code = ~DWORD{0};
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        ADD_FAILURE() << Narrow(exe) << " did not end within 30 s";
    } else {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hProcess);
    return code;
}

DWORD RunSetup(const Sandbox& sandbox, const std::wstring& arguments) {
    return RunProgram(TreeSetup(), arguments, sandbox.root(), sandbox.EnvironmentBlock());
}

void ExpectInstalledFromTree(const Sandbox& sandbox) {
    EXPECT_EQ(ReadFileBytes(sandbox.InstalledExe()), ReadFileBytes(TreeLauncher()));
    EXPECT_EQ(ReadFileBytes(sandbox.InstalledJar()), ReadFileBytes(TreeJar()));
    // The digest CMake computed from the committed jar: an independent SHA-256.
    EXPECT_EQ(ReadFileBytes(sandbox.BuildMark()), std::string(KORVANTHELM_DEMO_JAR_SHA256));
    // UTF-8 without a byte order mark; the line end is trimmed by the reader.
    EXPECT_EQ(ReadFileBytes(sandbox.Record()), Narrow(sandbox.InstalledExe()) + "\r\n");
    // Nothing half-written is left beside the installed files.
    EXPECT_EQ(ListTree(sandbox.LauncherFolder()),
              (std::set<std::string>{"KorvanThelmLauncher.exe", "app", "app/KorvanThelm.jar",
                                     "app/launcher.build"}));
}

void ExpectNothingInstalled(const Sandbox& sandbox) {
    EXPECT_FALSE(fs::exists(fs::path(sandbox.LauncherFolder() + L"\\app")));
    EXPECT_FALSE(fs::exists(fs::path(sandbox.Record())));
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.starts_with(prefix); });
}

TEST(DemoTree, HoldsExactlyTheFixedLayout) {
    EXPECT_EQ(ListTree(TreeRoot()),
              (std::set<std::string>{
                  "KORVANTHELM", "KORVANTHELM/KORVANTHELM.exe", "KORVANTHELM/ПРОЧТИ.txt",
                  "KORVANTHELM/launcher", "KORVANTHELM/launcher/KorvanThelmLauncher.exe",
                  "KORVANTHELM/launcher/app", "KORVANTHELM/launcher/app/KorvanThelm.jar"}));
    // The two exes are told apart by their digests: they must differ.
    EXPECT_NE(ReadFileBytes(TreeSetup()), ReadFileBytes(TreeLauncher()));
}

TEST(DemoSetup, SetupInstallsLauncherJarRecordAndBuildMark) {
    Sandbox sandbox;
    ASSERT_EQ(RunSetup(sandbox, L"--setup"), 0u);
    ExpectInstalledFromTree(sandbox);
    EXPECT_EQ(sandbox.LogLines(),
              (std::vector<std::string>{"setup: mode=--setup args=\"" + Narrow(TreeSetup()) +
                                        "\" --setup cwd=" + Narrow(sandbox.root()) + " installed " +
                                        Narrow(sandbox.InstalledExe())}));
}

TEST(DemoSetup, ReplacesAnOlderInstallationAndClearsTheRequestOnlyOnUpdate) {
    enum class Request { kNone, kFile, kReadOnlyFile, kEmptyFolder };
    struct Case {
        const wchar_t* mode;
        Request request;
        bool request_remains;
    };
    const Case cases[] = {
        {L"--update", Request::kFile, false},
        {L"--update", Request::kReadOnlyFile, false},  // must not force unpacking forever
        {L"--update", Request::kEmptyFolder, false},   // the bootstrapper counts a folder too
        {L"--update", Request::kNone, false},
        {L"--setup", Request::kFile, true},  // only an update consumes the request
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.mode) + " request kind " +
                     std::to_string(static_cast<int>(c.request)));
        Sandbox sandbox;
        WriteFileBytes(sandbox.InstalledExe(), "old exe");
        WriteFileBytes(sandbox.InstalledJar(), "old jar");
        WriteFileBytes(sandbox.BuildMark(), std::string(64, '0'));
        WriteFileBytes(sandbox.Record(), "C:\\elsewhere\\old.exe");
        if (c.request == Request::kEmptyFolder) {
            fs::create_directories(fs::path(sandbox.UpdateRequest()));
        } else if (c.request != Request::kNone) {
            WriteFileBytes(sandbox.UpdateRequest(), "");
            if (c.request == Request::kReadOnlyFile) {
                SetFileAttributesW(sandbox.UpdateRequest().c_str(), FILE_ATTRIBUTE_READONLY);
            }
        }

        EXPECT_EQ(RunSetup(sandbox, c.mode), 0u);
        ExpectInstalledFromTree(sandbox);
        const bool exists =
            GetFileAttributesW(sandbox.UpdateRequest().c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(exists, c.request != Request::kNone && c.request_remains);
        const auto lines = sandbox.LogLines();
        EXPECT_TRUE(HasLineStartingWith(lines, "setup: mode=" + Narrow(c.mode) + " "));
        EXPECT_EQ(HasLineStartingWith(lines, "setup: removed " + Narrow(sandbox.UpdateRequest())),
                  c.request != Request::kNone && !c.request_remains);
        SetFileAttributesW(sandbox.UpdateRequest().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(DemoSetup, RefusesEveryOtherArgumentList) {
    const wchar_t* const argument_texts[] = {
        L"",                  // no run mode at all
        L"--install",         // not a run mode
        L"--SETUP",           // the bootstrapper passes lower case only
        L"-setup",            //
        L"--setup --update",  // two arguments
        L"--update extra",    //
        L"\"--setup \"",      // one argument, but not exactly the run mode
    };
    for (const wchar_t* arguments : argument_texts) {
        SCOPED_TRACE(Narrow(arguments));
        Sandbox sandbox;
        EXPECT_EQ(RunSetup(sandbox, arguments), 2u);
        ExpectNothingInstalled(sandbox);
        EXPECT_TRUE(HasLineStartingWith(sandbox.LogLines(), "setup: failed args="));
    }
}

TEST(DemoSetup, FailsWithoutInstallingWhatItCannotComplete) {
    struct Case {
        const char* purpose;
        // Prepares the sandbox; returns the set-up program to run.
        std::wstring (*prepare)(const Sandbox&);
        std::map<std::wstring, std::optional<std::wstring>> environment;
        const char* reason;
    };
    const Case cases[] = {
        {"the set-up program without the launcher files beside it",
         [](const Sandbox& s) {
             const std::wstring lonely = s.root() + L"\\lonely\\KORVANTHELM.exe";
             fs::create_directories(fs::path(lonely).parent_path());
             fs::copy_file(fs::path(TreeSetup()), fs::path(lonely));
             return lonely;
         },
         {},
         "cannot open "},
        {"a file where the launcher folder belongs",
         [](const Sandbox& s) {
             WriteFileBytes(s.LauncherFolder(), "in the way");
             return TreeSetup();
         },
         {},
         "cannot create folder "},
        {"APPDATA unset: the record has nowhere to go",
         [](const Sandbox&) { return TreeSetup(); },
         {{L"APPDATA", std::nullopt}},
         "APPDATA is not set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.purpose);
        Sandbox sandbox;
        const std::wstring setup = c.prepare(sandbox);
        EXPECT_EQ(
            RunProgram(setup, L"--setup", sandbox.root(), sandbox.EnvironmentBlock(c.environment)),
            1u);
        ExpectNothingInstalled(sandbox);
        const auto lines = sandbox.LogLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("setup: failed args=")) << lines[0];
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    }
}

TEST(DemoSetup, AJarThatCannotBeReplacedLeavesTheOldMarkAndRecord) {
    Sandbox sandbox;
    WriteFileBytes(sandbox.InstalledJar(), "old jar");
    WriteFileBytes(sandbox.BuildMark(), std::string(64, '0'));
    WriteFileBytes(sandbox.Record(), "C:\\elsewhere\\old.exe");
    {
        // Held without sharing, as a running launcher may hold its jar.
        const HANDLE held = CreateFileW(sandbox.InstalledJar().c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(RunSetup(sandbox, L"--setup"), 1u);
        CloseHandle(held);
    }
    EXPECT_EQ(ReadFileBytes(sandbox.InstalledJar()), "old jar");
    EXPECT_EQ(ReadFileBytes(sandbox.BuildMark()), std::string(64, '0'));
    EXPECT_EQ(ReadFileBytes(sandbox.Record()), "C:\\elsewhere\\old.exe");
    EXPECT_FALSE(fs::exists(fs::path(sandbox.InstalledJar() + L".partial")));
    const auto lines = sandbox.LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot replace " + Narrow(sandbox.InstalledJar())), std::string::npos)
        << lines[0];
}

TEST(DemoLauncher, AppendsItsCommandLineAndWorkingFolderOnEveryStart) {
    Sandbox sandbox;
    ASSERT_EQ(RunSetup(sandbox, L"--setup"), 0u);
    const std::wstring exe = sandbox.InstalledExe();
    // As the fast path starts it: no arguments, in its own folder.
    EXPECT_EQ(RunProgram(exe, L"", sandbox.LauncherFolder(), sandbox.EnvironmentBlock()), 0u);
    EXPECT_EQ(RunProgram(exe, L"a \"b c\" Кириллица", sandbox.root(), sandbox.EnvironmentBlock()),
              0u);

    const auto lines = sandbox.LogLines();
    ASSERT_EQ(lines.size(), 3u);  // the set-up's line stays: the log is appended to
    EXPECT_TRUE(lines[0].starts_with("setup: mode=--setup "));
    EXPECT_EQ(lines[1], "launcher: started args=\"" + Narrow(exe) +
                            "\" cwd=" + Narrow(sandbox.LauncherFolder()));
    EXPECT_EQ(lines[2], "launcher: started args=\"" + Narrow(exe) +
                            "\" a \"b c\" Кириллица cwd=" + Narrow(sandbox.root()));
}

}  // namespace
