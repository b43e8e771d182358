// The Windows packer's platform floor where Windows differs from Linux: the
// command line a signer gets, UTF-16 and UTF-8 at the API, long paths,
// outputs that leave nothing behind, and the entries of a folder the tree
// walk holds. Real CreateProcessW and real files under Wine.
#include <windows.h>
// After windows.h: CommandLineToArgvW.
#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/windows/test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

namespace kt = korvanthelm::testing;

std::wstring LinksDirectory() {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(L"KORVANTHELM_LINKS_DIR", buffer, 1024);
    return std::wstring(buffer, length);
}

std::vector<std::wstring> SplitAsTheRuntimeDoes(const std::wstring& line) {
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(split, split + count);
    LocalFree(split);
    return arguments;
}

TEST(PackPlatform, CommandLineSplitsBackIntoTheSameArguments) {
    const std::wstring kCases[] = {
        L"plain",
        L"",  // an empty argument is still one
        L"two words",
        L"tab\there",
        L"say \"hi\"",
        L"C:\\Program Files\\",       // a closing quote after it must not be escaped away
        L"a\\\\b",                    // backslashes not before a quote stay as they are
        L"\\\"quoted\\\"",            // backslashes before a quote are doubled, the quote escaped
        L"ends\\",                    // no blank: taken as it is, backslash and all
        L"\\\\server\\share\\x y\\",  // a UNC path with a blank and a trailing backslash
        L"Подпись \"релиз\"",
    };
    for (const std::wstring& argument : kCases) {
        const std::vector<std::wstring> expected = {L"signer.exe", argument, L"last"};
        EXPECT_EQ(SplitAsTheRuntimeDoes(QuotedCommandLine(expected)), expected)
            << kt::ToUtf8(QuotedCommandLine(expected));
    }
}

TEST(PackPlatform, ProgramGetsItsArgumentsAndGivesItsExitCode) {
    kt::TempDir dir;
    const std::wstring report = dir / L"report.txt";
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_REPORT", report.c_str());
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", L"7");
    const std::string probe = kt::ToUtf8(kt::ExeDirectory() + L"\\probe.exe");
    const ProgramRun run = RunProgram({probe, "C:\\a folder\\", "say \"hi\"", ""}, ProgramInput{});
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_REPORT", nullptr);
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", nullptr);
    EXPECT_EQ(run.status, 7);
    const std::string text = kt::ReadBytes(report);
    EXPECT_NE(text.find("\"C:\\a folder\\\\\" \"say \\\"hi\\\"\" \"\""), std::string::npos) << text;

    const ProgramRun missing = RunProgram({"no-such-program-here.exe"}, ProgramInput{});
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.output.rfind("cannot start no-such-program-here.exe: ", 0), 0u)
        << missing.output;
}

// A program past its time limit is ended with all it started (its job
// object), and the run says so: a timestamp server that never answers must
// not hold a release build. Here the probe waits for a file that never comes
// (up to a minute) under a limit of one second.
TEST(PackPlatform, ProgramPastItsTimeLimitIsEnded) {
    kt::TempDir dir;
    const std::wstring never = dir / L"never.txt";
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_WAIT_FOR", never.c_str());
    const std::string probe = kt::ToUtf8(kt::ExeDirectory() + L"\\probe.exe");
    struct Case {
        const char* what;
        std::chrono::milliseconds limit;
        bool timed_out;
        // The probe closes its output first: only the exit is left to wait for.
        bool closes_output = false;
    };
    const Case kCases[] = {
        {"past its limit", std::chrono::seconds(1), true},
        {"past its limit, its output closed", std::chrono::seconds(1), true, true},
        {"no limit, and the file comes", std::chrono::milliseconds(0), false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        if (!c.timed_out) {
            kt::WriteBytes(never, "");
        }
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_CLOSE_OUTPUT",
                                c.closes_output ? L"1" : nullptr);
        const auto started = std::chrono::steady_clock::now();
        const ProgramRun run = RunProgram(
            {probe},
            ProgramInput{.secret = std::nullopt, .hidden_variable = "", .time_limit = c.limit});
        const auto took = std::chrono::steady_clock::now() - started;
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_CLOSE_OUTPUT", nullptr);
        EXPECT_EQ(run.timed_out, c.timed_out);
        EXPECT_LT(took, std::chrono::seconds(20));
        if (c.timed_out) {
            EXPECT_NE(run.status, 0);
        } else {
            EXPECT_EQ(run.status, 0) << run.output;
        }
    }
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_WAIT_FOR", nullptr);
}

TEST(PackPlatform, TextConvertsAtTheApi) {
    struct Case {
        std::wstring wide;
        std::string utf8;
    };
    const Case kCases[] = {
        {L"plain.txt", "plain.txt"},
        {L"ПРОЧТИ.txt", "\xD0\x9F\xD0\xA0\xD0\x9E\xD0\xA7\xD0\xA2\xD0\x98.txt"},
        {L"\xD801\xDC00", "\xF0\x90\x90\x80"},  // a pair: one four-byte character
        {L"a\xD800"
         L"b",
         "a\xED\xA0\x80"
         "b"},                        // a lone surrogate: invalid UTF-8 on purpose
        {L"\xDC00", "\xED\xB0\x80"},  // a lone low surrogate too
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(Utf8FromWide(c.wide), c.utf8) << kt::ToUtf8(c.wide);
    }
    EXPECT_EQ(WideFromUtf8("ПРОЧТИ.txt"), L"ПРОЧТИ.txt");
}

TEST(PackPlatform, PathsTakeEitherSlashAndLongOnesTheLongForm) {
    EXPECT_EQ(WidePath("tree/KORVANTHELM/x.exe"), L"tree\\KORVANTHELM\\x.exe");
    EXPECT_EQ(WidePath("C:/tree\\x"), L"C:\\tree\\x");
    const std::string long_name(300, 'd');
    EXPECT_EQ(WidePath("C:/" + long_name), L"\\\\?\\C:\\" + std::wstring(300, L'd'));
    EXPECT_EQ(WidePath("C:/" + long_name + "/../x"), L"\\\\?\\C:\\x");  // resolved first
    EXPECT_EQ(WidePath("//server/share/" + long_name),
              L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'd'));
    // Already in the long form: as given, '/' included (it is a name there).
    EXPECT_EQ(WidePath("\\\\?\\C:\\a/b"), L"\\\\?\\C:\\a/b");
}

TEST(PackPlatform, StagedOutputLeavesNothingUnlessCommitted) {
    kt::TempDir dir;
    const std::string target = kt::ToUtf8(dir / L"out.bin");
    const std::vector<std::byte> bytes(70000, std::byte{0x5A});
    { StagedFile abandoned(target, bytes); }
    EXPECT_TRUE(kt::Snapshot(dir.path()).empty()) << "an abandoned output was left behind";
    {
        StagedFile staged(target, bytes);
        staged.Commit();
    }
    EXPECT_EQ(kt::Snapshot(dir.path()).size(), 1u);
    EXPECT_EQ(ReadWholeFile(target), bytes);
    EXPECT_THROW(ReadWholeFile(kt::ToUtf8(dir.path())), PackError);  // a folder is no input
}

// The entries of a folder the tree walk holds, examined and opened through
// the folder's handle, against the same questions asked the Win32 way by
// their whole "\\?\" path (how the walk asked before): the same answer, and
// where that refuses, the same error code, so that every message the packer
// prints stays word for word. The fixture (make_links.sh) made what Windows
// programs cannot: names ending in a dot or a space, and a link.
TEST(PackPlatform, EntriesOfAHeldFolderAnswerAsTheirWholePathDoes) {
    const std::wstring names = LinksDirectory() + L"\\names";
    ASSERT_TRUE(kt::Exists(names + L"\\plain.txt")) << "fixture missing (KORVANTHELM_LINKS_DIR)";
    // What a call must give: opened (or examined), refused with a Win32
    // error, or only what the whole path gives (where Wine and Windows differ).
    constexpr int kOpened = 0;
    constexpr int kAsByPath = -1;
    struct Case {
        const char* name;
        const char* what;
        int examine;  // kOpened: examined as `kind`
        EntryKind kind;
        int file;    // OpenFileInside
        int folder;  // OpenFolderInside
    };
    const Case kCases[] = {
        {"plain.txt", "a file", kOpened, EntryKind::kRegularFile, kOpened, ERROR_DIRECTORY},
        {"PLAIN.TXT", "a file in other letters: found, as every Win32 name is", kOpened,
         EntryKind::kRegularFile, kOpened, ERROR_DIRECTORY},
        {"plain.txt.", "a trailing dot is part of the name, never dropped", ERROR_FILE_NOT_FOUND,
         EntryKind::kOther, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {"plain.txt ", "a trailing space is part of the name, never dropped", ERROR_FILE_NOT_FOUND,
         EntryKind::kOther, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {"dot.", "a name that ends in a dot", kAsByPath, EntryKind::kOther, kAsByPath, kAsByPath},
        {"space ", "a name that ends in a space", kAsByPath, EntryKind::kOther, kAsByPath,
         kAsByPath},
        {"sub", "a folder", kOpened, EntryKind::kFolder, ERROR_ACCESS_DENIED, kOpened},
        {"gone.txt", "listed, then removed before the walk came to it", ERROR_FILE_NOT_FOUND,
         EntryKind::kOther, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        // Windows shows the link opened as itself through the handle (and
        // the open refuses it); Wine shows it by name only.
        {"dirlink", "a link to a folder outside", kOpened, EntryKind::kSymbolicLink, kAsByPath,
         kAsByPath},
    };
    int error = 0;
    const UniqueFd folder = OpenFolder(kt::ToUtf8(names), error);
    ASSERT_TRUE(folder) << error;
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.what);
        const std::wstring path = WideChildPath(folder.path(), c.name);

        WIN32_FILE_ATTRIBUTE_DATA by_path{};
        const bool path_examined =
            GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &by_path) != 0;
        const int path_examine_error = path_examined ? 0 : static_cast<int>(GetLastError());
        EntryStatus status{};
        const bool examined = ExamineEntry(folder, c.name, status, error);
        EXPECT_EQ(examined, path_examined);
        if (examined && path_examined) {
            EXPECT_EQ(status.size,
                      (std::uint64_t{by_path.nFileSizeHigh} << 32) | by_path.nFileSizeLow);
        } else if (!examined) {
            EXPECT_EQ(error, path_examine_error);
        }
        if (c.examine == kOpened) {
            EXPECT_TRUE(examined);
            EXPECT_EQ(status.kind, c.kind);
        } else if (c.examine != kAsByPath) {
            EXPECT_FALSE(examined);
            EXPECT_EQ(error, c.examine);
        }

        // Each open as the walk asks it, and by the whole path with the same
        // flags: a refusal of the latter must be the former's too.
        const struct {
            const char* call;
            int expected;
            DWORD access;
            DWORD flags;
            UniqueFd (*open)(const UniqueFd&, const std::string&, int&);
        } kOpens[] = {
            {"OpenFileInside", c.file, GENERIC_READ,
             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, &OpenFileInside},
            {"OpenFolderInside", c.folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &OpenFolderInside},
        };
        for (const auto& open : kOpens) {
            SCOPED_TRACE(open.call);
            const HANDLE whole =
                CreateFileW(path.c_str(), open.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, open.flags, nullptr);
            const int path_error =
                whole == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
            if (whole != INVALID_HANDLE_VALUE) {
                CloseHandle(whole);
            }
            const UniqueFd opened = open.open(folder, c.name, error);
            if (path_error != 0) {
                EXPECT_FALSE(opened);
                EXPECT_EQ(error, path_error);
            }
            if (open.expected == kOpened) {
                EXPECT_TRUE(opened) << error;
            } else if (open.expected != kAsByPath) {
                EXPECT_FALSE(opened);
                EXPECT_EQ(error, open.expected);
            }
        }
    }
    // What the walk reads through a file opened inside the held folder is
    // that file.
    const UniqueFd file = OpenFileInside(folder, "plain.txt", error);
    ASSERT_TRUE(file) << error;
    EntryStatus status{};
    ASSERT_TRUE(ExamineOpenFile(file, status, error)) << error;
    EXPECT_EQ(status.kind, EntryKind::kRegularFile);
    EXPECT_EQ(status.size, 3u);
    std::vector<std::byte> bytes(3);
    EXPECT_EQ(ReadExactly(file, bytes, error), ExactRead::kRead);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "abc");
    // An open of no name would open the folder itself, which no caller means.
    EXPECT_FALSE(OpenFileInside(folder, "", error));
    EXPECT_EQ(error, ERROR_INVALID_NAME);
    EXPECT_FALSE(OpenFolderInside(folder, "", error));
    EXPECT_EQ(error, ERROR_INVALID_NAME);
}

}  // namespace
}  // namespace korvanthelm::pack
