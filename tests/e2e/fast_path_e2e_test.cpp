// The installed-launcher road of the real exe: an intact installation of this
// build is started directly and not waited for; anything else falls back to
// unpacking. probe.exe stands in for the installed launcher (the test exes
// carry its digest and that of launcher-fixture.jar).
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

class FastPathE2e : public E2eWorld {
  protected:
    void SetUp() override {
        E2eWorld::SetUp();
        folder_ = root_ / L"Local\\Программы\\KORVANTHELM";
        exe_ = folder_ + L"\\KorvanThelmLauncher.exe";
        jar_ = folder_ + L"\\app\\KorvanThelm.jar";
        MakeDirectories(folder_ + L"\\app");
        WriteBytes(exe_, ReadBytes(ExeDirectory() + L"\\probe.exe"));
        jar_bytes_ = ReadBytes(E2eDirectory() + L"\\launcher-fixture.jar");
        ASSERT_NE(jar_bytes_, "<missing>");
        WriteBytes(jar_, jar_bytes_);
        WriteBytes(folder_ + L"\\app\\launcher.build", ToUtf8(Sha256Hex(jar_bytes_)) + "\r\n");
        WriteBytes(app_data_ + L"\\KORVANTHELM\\launcher.path", ToUtf8(exe_) + "\r\n");
    }

    // Runs ok_probe and expects it to have unpacked and run the set-up
    // program with `mode`.
    void ExpectUnpackedWith(const std::vector<EnvChange>& env, const char* mode, const char* what) {
        DeleteFileW(report_.c_str());
        const auto before = WorldSnapshot();
        const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), env);
        EXPECT_EQ(run.exit_code, 0u) << what;
        EXPECT_TRUE(run.messages.empty()) << what;
        const auto reports = Reports();
        ASSERT_EQ(reports.size(), 1u) << what;
        const std::string prefix = "\"" + ToUtf8(temp_) + "\\korvanthelm-setup-";
        EXPECT_EQ(reports[0].cmdline.substr(0, prefix.size()), prefix) << what;
        EXPECT_EQ(reports[0].cmdline.substr(reports[0].cmdline.size() - std::strlen(mode)), mode)
            << what;
        EXPECT_EQ(WorldSnapshot(), before) << what;
    }

    std::wstring folder_, exe_, jar_;
    std::string jar_bytes_;
};

TEST_F(FastPathE2e, IntactInstallationIsStartedWithoutArgumentsAndNotWaitedFor) {
    const std::wstring go = root_ / L"go";
    const auto temp_before = Snapshot(temp_);
    std::vector<EnvChange> env = Environment();
    env.push_back({L"KORVANTHELM_PROBE_WAIT_FOR", go});
    const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), env);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.messages.empty());
    // The launcher is still waiting for its signal: the bootstrapper did not.
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Snapshot(temp_), temp_before);
    WriteBytes(go, "");
    for (int i = 0; i < 500 && Reports().empty(); ++i) {
        Sleep(20);
    }
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].cmdline, "\"" + ToUtf8(exe_) + "\"");
    EXPECT_EQ(reports[0].cwd, ToUtf8(folder_));
}

TEST_F(FastPathE2e, AnyMismatchFallsBackToUnpackingWithSetup) {
    const std::string exe_bytes = ReadBytes(exe_);
    const std::string mark = ReadBytes(folder_ + L"\\app\\launcher.build");
    std::string upper = mark;
    for (char& c : upper) {
        c = static_cast<char>(toupper(c));
    }
    const struct {
        const char* what;
        std::wstring file;
        std::string tampered;
    } kCases[] = {
        {"tampered exe", exe_, exe_bytes + "x"},
        {"tampered jar", jar_, jar_bytes_ + "x"},
        {"build mark in upper case", folder_ + L"\\app\\launcher.build", upper},
        {"record with a tab", app_data_ + L"\\KORVANTHELM\\launcher.path", ToUtf8(exe_) + "\t"},
        {"empty record", app_data_ + L"\\KORVANTHELM\\launcher.path", ""},
    };
    for (const auto& c : kCases) {
        const std::string original = ReadBytes(c.file);
        WriteBytes(c.file, c.tampered);
        ExpectUnpackedWith(Environment(), "--setup", c.what);
        WriteBytes(c.file, original);
    }
    DeleteFileW((app_data_ + L"\\KORVANTHELM\\launcher.path").c_str());
    ExpectUnpackedWith(Environment(), "--setup", "no record");
}

TEST_F(FastPathE2e, UpdateRequestUnpacksWithUpdateAndLeavesTheRequest) {
    WriteBytes(app_data_ + L"\\KORVANTHELM\\update.request", "");
    ExpectUnpackedWith(Environment(), "--update", "request file");
    DeleteFileW((app_data_ + L"\\KORVANTHELM\\update.request").c_str());
    MakeDirectories(app_data_ + L"\\KORVANTHELM\\update.request");
    ExpectUnpackedWith(Environment(), "--update", "request folder");
}

TEST_F(FastPathE2e, WithoutAppDataTheInstallationIsNotLookedAt) {
    std::vector<EnvChange> env = Environment();
    env.push_back({L"APPDATA", L"", true});
    ExpectUnpackedWith(env, "--setup", "APPDATA unset");
}

}  // namespace
}  // namespace korvanthelm::testing
