// The Windows packer's platform floor where Windows differs from Linux: the
// command line a signer gets, UTF-16 and UTF-8 at the API, long paths, and
// outputs that leave nothing behind. Real CreateProcessW and real files
// under Wine.
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
#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

namespace kt = korvanthelm::testing;

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

}  // namespace
}  // namespace korvanthelm::pack
