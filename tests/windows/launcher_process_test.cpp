#include "platform/launcher_process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/windows/test_support.h"

namespace korvanthelm {
namespace {

using testing::TempDir;

// probe.exe copied to a folder with spaces and Cyrillic in its name; it
// reports its command line and working directory to a file.
class LauncherProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = dir_ / L"папка с пробелами";
        testing::MakeDirectories(folder_);
        exe_ = folder_ + L"\\probe копия.exe";
        ASSERT_TRUE(
            CopyFileW((testing::ExeDirectory() + L"\\probe.exe").c_str(), exe_.c_str(), TRUE));
        report_ = dir_ / L"report.txt";
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_REPORT", report_.c_str());
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", nullptr);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_REPORT", nullptr);
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", nullptr);
    }
    std::string Report() const { return testing::ReadBytes(report_); }

    TempDir dir_;
    std::wstring folder_, exe_, report_;
};

TEST_F(LauncherProcessTest, QuotedPathThenArgumentVerbatimInTheExesFolder) {
    const struct {
        const wchar_t* argument;
        const wchar_t* command_tail;
    } kCases[] = {
        {L"--update", L" --update"},
        {L"--setup", L" --setup"},
        {L"", L""},                     // no trailing space for no argument
        {L"two words", L" two words"},  // not quoted: the child sees two arguments
    };
    for (const auto& c : kCases) {
        DeleteFileW(report_.c_str());
        EXPECT_EQ(StartLauncherProcess(exe_, c.argument, /*wait=*/true), 0u) << c.argument;
        EXPECT_EQ(Report(), "cmdline=\"" + testing::ToUtf8(exe_) + "\"" +
                                testing::ToUtf8(c.command_tail) +
                                "\ncwd=" + testing::ToUtf8(folder_) + "\n")
            << testing::ToUtf8(c.argument);
    }
}

TEST_F(LauncherProcessTest, WaitedChildGivesItsExitCodeUnsigned) {
    for (const std::uint32_t code : {0u, 1u, 3221225477u, 0xFFFFFFFFu}) {
        SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", std::to_wstring(code).c_str());
        EXPECT_EQ(StartLauncherProcess(exe_, L"--setup", /*wait=*/true), code);
    }
}

TEST_F(LauncherProcessTest, UnwaitedChildGivesZeroWhateverItDoes) {
    SetEnvironmentVariableW(L"KORVANTHELM_PROBE_EXIT", L"7");
    EXPECT_EQ(StartLauncherProcess(exe_, L"", /*wait=*/false), 0u);
    // The child runs on its own; give it time to report so the folder can go.
    for (int i = 0; i < 200 && Report() == "<missing>"; ++i) {
        Sleep(20);
    }
    EXPECT_EQ(Report(),
              "cmdline=\"" + testing::ToUtf8(exe_) + "\"\ncwd=" + testing::ToUtf8(folder_) + "\n");
}

TEST_F(LauncherProcessTest, MissingExeGivesTheSystemErrorCode) {
    const std::uint32_t missing_file =
        StartLauncherProcess(folder_ + L"\\absent.exe", L"--setup", true);
    EXPECT_EQ(missing_file, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    // A missing folder is also a missing working directory: Wine reports
    // that (267); Windows may report the path first.
    const std::uint32_t missing_folder =
        StartLauncherProcess(folder_ + L"\\absent\\x.exe", L"--setup", true);
    EXPECT_TRUE(missing_folder == ERROR_FILE_NOT_FOUND || missing_folder == ERROR_PATH_NOT_FOUND ||
                missing_folder == ERROR_DIRECTORY)
        << missing_folder;
}

// The classic limit: a path of 259 units starts, one of 260 or more is
// refused before the platform sees it (Wine would start from garbage).
TEST_F(LauncherProcessTest, PathOfMaxPathUnitsOrMoreIsRefusedUnstarted) {
    for (const std::size_t length : {std::size_t{259}, std::size_t{260}, std::size_t{300}}) {
        std::wstring folder = dir_.path();
        const std::wstring name = L"\\p.exe";
        while (folder.size() + name.size() < length) {
            folder += L"\\" + std::wstring(std::min<std::size_t>(
                                               100, length - folder.size() - name.size() - 1),
                                           L'd');
        }
        const std::wstring exe = folder + name;
        ASSERT_EQ(exe.size(), length);
        testing::MakeDirectories(folder);
        ASSERT_TRUE(
            CopyFileW((testing::ExeDirectory() + L"\\probe.exe").c_str(), exe.c_str(), FALSE));
        DeleteFileW(report_.c_str());
        EXPECT_EQ(StartLauncherProcess(exe, L"--setup", /*wait=*/true),
                  length < MAX_PATH ? 0u : static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE))
            << length;
        EXPECT_EQ(Report() != "<missing>", length < MAX_PATH) << length;
    }
}

// A failed wait or exit-code query gives the last error of that call, and
// never 0 (which would read as a set-up program that succeeded), even when
// the platform left the last error at 0. The fakes wait for the real child
// first, so it is gone before they fail.
DWORD g_fake_error = 0;
DWORD g_fake_wait_result = WAIT_OBJECT_0;
BOOL g_fake_query_result = TRUE;

std::uint32_t FakeWait(void* process) {
    WaitForSingleObject(process, INFINITE);
    SetLastError(g_fake_error);
    return g_fake_wait_result;
}

int FakeQuery(void* process, unsigned long* exit_code) {
    GetExitCodeProcess(process, exit_code);
    SetLastError(g_fake_error);
    return g_fake_query_result;
}

TEST_F(LauncherProcessTest, FailedWaitOrExitCodeNeverReadsAsSuccess) {
    const struct {
        const char* what;
        DWORD wait_result;
        BOOL query_result;
        DWORD last_error;
        std::uint32_t expected;
    } kCases[] = {
        {"wait failed", WAIT_FAILED, TRUE, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {"wait failed, last error 0", WAIT_FAILED, TRUE, 0, ERROR_GEN_FAILURE},
        {"wait timed out, last error 0", WAIT_TIMEOUT, TRUE, 0, ERROR_GEN_FAILURE},
        {"exit code not delivered", WAIT_OBJECT_0, FALSE, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"exit code not delivered, last error 0", WAIT_OBJECT_0, FALSE, 0, ERROR_GEN_FAILURE},
        {"both succeed: the child's code", WAIT_OBJECT_0, TRUE, 0, 0},
    };
    for (const auto& c : kCases) {
        g_fake_wait_result = c.wait_result;
        g_fake_query_result = c.query_result;
        g_fake_error = c.last_error;
        EXPECT_EQ(
            StartLauncherProcessForTesting(exe_, L"--setup", /*wait=*/true, {FakeWait, FakeQuery}),
            c.expected)
            << c.what;
    }
    // Not waited for: neither call is made.
    g_fake_wait_result = WAIT_FAILED;
    EXPECT_EQ(StartLauncherProcessForTesting(exe_, L"", /*wait=*/false, {FakeWait, FakeQuery}), 0u);
    for (int i = 0; i < 200 && Report().find("cmdline=\"" + testing::ToUtf8(exe_) + "\"\n") ==
                                   std::string::npos;
         ++i) {
        Sleep(20);
    }
}

TEST(LauncherWorkingDirectory, UpToTheLastBackslash) {
    EXPECT_EQ(LauncherWorkingDirectory(L"C:\\a b\\c\\x.exe"), L"C:\\a b\\c");
    EXPECT_EQ(LauncherWorkingDirectory(L"C:/a/b/x.exe"), L"");  // '/' is no separator here
    EXPECT_EQ(LauncherWorkingDirectory(L"x.exe"), L"");
}

}  // namespace
}  // namespace korvanthelm
