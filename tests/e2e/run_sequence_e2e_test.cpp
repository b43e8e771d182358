// The real KORVANTHELM.exe under Wine: choice of temporary folder and run
// mode, unpacking, the set-up program's start, clean-up and failure reports.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/failure_texts.h"
#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

const std::string kWorkDirectoryFailed = ToUtf8(::korvanthelm::kWorkDirectoryFailed);
const std::string kPackageMissing = ToUtf8(::korvanthelm::kPackageMissing);
const std::string kTempUnavailable = ToUtf8(::korvanthelm::kTempUnavailable);

std::string LaunchFailure(unsigned long code, const std::wstring& work_directory) {
    return ToUtf8(kLaunchFailedPrefix) + std::to_string(code) + ToUtf8(kLaunchFailedInfix) +
           ToUtf8(work_directory) + ToUtf8(kLaunchFailedSuffix);
}

std::vector<EnvChange> With(std::vector<EnvChange> env, std::vector<EnvChange> more) {
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

class RunSequenceE2e : public E2eWorld {
  protected:
    // The work directory the set-up program ran in, from its report; checks
    // its name on the way.
    std::wstring WorkDirectoryOf(const ProbeReport& report, const std::wstring& base) {
        const std::wstring cwd = FromUtf8(report.cwd);
        const std::wstring work = cwd.substr(0, cwd.rfind(L'\\'));
        EXPECT_EQ(cwd, work + L"\\KORVANTHELM");
        EXPECT_EQ(work.size(), base.size() + 51);
        EXPECT_EQ(work.substr(0, base.size() + 19), base + L"\\korvanthelm-setup-");
        return work;
    }
    std::string ExpectedCommandLine(const std::wstring& work, const char* mode) {
        return "\"" + ToUtf8(work) + "\\KORVANTHELM\\KORVANTHELM.exe\" " + mode;
    }
};

// The 300-odd files of the ok_probe package, as make_packages.py writes them.
std::map<std::wstring, std::string> ExpectedOkProbeTree() {
    std::map<std::wstring, std::string> tree;
    tree[L"KORVANTHELM"] = "<dir>";
    tree[L"KORVANTHELM\\KORVANTHELM.exe"] = ReadBytes(ExeDirectory() + L"\\probe.exe");
    tree[L"empty.txt"] = "";
    tree[L"readme.txt"] = "hello\r\n";
    const wchar_t* const kFolders[] = {L"data", L"Данные\\вложенная папка", L"assets\\with space",
                                       L"a\\b\\c\\d\\e"};
    for (const std::wstring folder : kFolders) {
        for (std::size_t at = folder.find(L'\\'); at != std::wstring::npos;
             at = folder.find(L'\\', at + 1)) {
            tree[folder.substr(0, at)] = "<dir>";
        }
        tree[folder] = "<dir>";
    }
    for (int i = 0; i < 300; ++i) {
        std::string data;
        for (int j = 0; j < i; ++j) {
            data.push_back(static_cast<char>((i * 7 + j) & 0xFF));
        }
        wchar_t name[32];
        swprintf(name, 32, L"файл %03d.bin", i);
        tree[std::wstring(kFolders[i % 4]) + L"\\" + name] = data;
    }
    return tree;
}

TEST_F(RunSequenceE2e, UnpacksByteExactlyRunsSetupAndRemovesTheWorkDirectory) {
    const auto before = WorldSnapshot();
    TempDir copy;
    const WatchedRun run = RunWatched(
        E2eExe(L"ok_probe"), With(Environment(), {{L"KORVANTHELM_PROBE_COPY", copy / L"tree"}}));
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.messages.empty());
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const std::wstring work = WorkDirectoryOf(reports[0], temp_);
    EXPECT_EQ(reports[0].cmdline, ExpectedCommandLine(work, "--setup"));
    EXPECT_EQ(WorldSnapshot(), before);
    EXPECT_EQ(Snapshot(copy / L"tree"), ExpectedOkProbeTree());
}

TEST_F(RunSequenceE2e, PackerMadeLzmsPackageUnpacksByteExactlyThroughEitherDecoder) {
    if (!Exists(E2eExe(L"lzms_probe"))) {
        GTEST_SKIP() << "built without the packer: no LZMS package";
    }
    // The stand-in logs its calls: the system's decompressor is used while
    // it works, and the built-in decoder takes over when it refuses.
    const struct {
        const wchar_t* fail;
        const char* calls;
    } kCases[] = {
        {L"", "create ok\ndecompress ok\n"},
        {L"create", "create failed\n"},
        {L"decompress", "create ok\ndecompress failed\n"},
        // Newer Wine's stub: "succeeds" with a copy of the stream, shorter than the table.
        {L"copy", "create ok\ndecompress ok\n"},
    };
    for (const auto& c : kCases) {
        TempDir copy;
        DeleteFileW(report_.c_str());
        const WatchedRun run =
            RunWatched(E2eExe(L"lzms_probe"),
                       With(Environment(), {{L"KORVANTHELM_PROBE_COPY", copy / L"tree"},
                                            {L"KORVANTHELM_STANDIN_LOG", copy / L"calls"},
                                            {L"KORVANTHELM_STANDIN_FAIL", c.fail}}));
        EXPECT_EQ(run.exit_code, 0u) << ToUtf8(c.fail);
        EXPECT_TRUE(run.messages.empty()) << ToUtf8(c.fail);
        EXPECT_EQ(Reports().size(), 1u) << ToUtf8(c.fail);
        EXPECT_EQ(ReadBytes(copy / L"calls"), c.calls) << ToUtf8(c.fail);
        EXPECT_EQ(Snapshot(copy / L"tree"), ExpectedOkProbeTree()) << ToUtf8(c.fail);
    }
}

TEST_F(RunSequenceE2e, TrailingBackslashesOfTempAreDropped) {
    const WatchedRun run =
        RunWatched(E2eExe(L"ok_probe"), With(Environment(), {{L"TEMP", temp_ + L"\\\\\\"}}));
    EXPECT_EQ(run.exit_code, 0u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    WorkDirectoryOf(reports[0], temp_);
}

TEST_F(RunSequenceE2e, UnsetTempFallsBackToThePlatformTemporaryPath) {
    // The platform's path comes from TMP here.
    const WatchedRun run = RunWatched(
        E2eExe(L"ok_probe"), With(Environment(), {{L"TEMP", L"", true}, {L"TMP", temp_ + L"\\"}}));
    EXPECT_EQ(run.exit_code, 0u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    WorkDirectoryOf(reports[0], temp_);
}

TEST_F(RunSequenceE2e, UnsetTempAndNoPlatformTemporaryPathFailsAndCreatesNothing) {
    // Wine's platform path comes from TMP and refuses one past MAX_PATH.
    const auto before = WorldSnapshot();
    const WatchedRun run =
        RunWatched(E2eExe(L"ok_probe"),
                   With(Environment(),
                        {{L"TEMP", L"", true}, {L"TMP", temp_ + L"\\" + std::wstring(300, L't')}}));
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{kTempUnavailable});
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(WorldSnapshot(), before);
}

TEST_F(RunSequenceE2e, MissingTempFolderFailsAndCreatesNothing) {
    const auto before = WorldSnapshot();
    const WatchedRun run =
        RunWatched(E2eExe(L"ok_probe"), With(Environment(), {{L"TEMP", root_ / L"missing"}}));
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{kWorkDirectoryFailed});
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(WorldSnapshot(), before);
}

TEST_F(RunSequenceE2e, RunModeFollowsTheUpdateRequestOnlyWithAppData) {
    WriteBytes(app_data_ + L"\\KORVANTHELM\\update.request", "");
    const struct {
        const char* what;
        std::vector<EnvChange> env;
        const char* mode;
    } kCases[] = {
        {"request file", Environment(), "--update"},
        {"APPDATA unset", With(Environment(), {{L"APPDATA", L"", true}}), "--setup"},
        {"APPDATA empty", With(Environment(), {{L"APPDATA", L""}}), "--setup"},
    };
    for (const auto& c : kCases) {
        DeleteFileW(report_.c_str());
        const auto before = WorldSnapshot();
        const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), c.env);
        EXPECT_EQ(run.exit_code, 0u) << c.what;
        const auto reports = Reports();
        ASSERT_EQ(reports.size(), 1u) << c.what;
        EXPECT_EQ(reports[0].cmdline,
                  ExpectedCommandLine(WorkDirectoryOf(reports[0], temp_), c.mode))
            << c.what;
        // The request file is never read, written or removed.
        EXPECT_EQ(WorldSnapshot(), before) << c.what;
    }
}

TEST_F(RunSequenceE2e, FolderNamedLikeTheUpdateRequestCountsToo) {
    MakeDirectories(app_data_ + L"\\KORVANTHELM\\update.request");
    const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), Environment());
    EXPECT_EQ(run.exit_code, 0u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].cmdline,
              ExpectedCommandLine(WorkDirectoryOf(reports[0], temp_), "--update"));
}

TEST_F(RunSequenceE2e, OwnCommandLineIsIgnored) {
    const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), Environment(), L"--update extra");
    EXPECT_EQ(run.exit_code, 0u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].cmdline,
              ExpectedCommandLine(WorkDirectoryOf(reports[0], temp_), "--setup"));
}

TEST_F(RunSequenceE2e, NonZeroSetupExitIsReportedAfterTheWorkDirectoryIsGone) {
    const struct {
        EnvChange how;
        unsigned long code;
    } kCases[] = {
        {{L"KORVANTHELM_PROBE_EXIT", L"1"}, 1ul},
        {{L"KORVANTHELM_PROBE_EXIT", L"3221225477"}, 3221225477ul},
        // A real access violation, not an exit code that looks like one.
        {{L"KORVANTHELM_PROBE_CRASH", L"1"}, 3221225477ul},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(ToUtf8(c.how.name + L"=" + c.how.value));
        DeleteFileW(report_.c_str());
        const auto before = WorldSnapshot();
        const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), With(Environment(), {c.how}));
        EXPECT_EQ(run.exit_code, 1u);
        const auto reports = Reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(run.messages, std::vector<std::string>{
                                    LaunchFailure(c.code, WorkDirectoryOf(reports[0], temp_))});
        EXPECT_EQ(WorldSnapshot(), before);
    }
}

// The failure is reported only after the removal retries: a child of the
// set-up program still holds a file of the work directory for about a second
// after the set-up program failed, and the work directory is gone when the
// box appears.
TEST_F(RunSequenceE2e, FailedSetupIsReportedOnlyOnceTheRetriesRemovedTheWorkDirectory) {
    DeleteFileW(report_.c_str());
    const auto before = WorldSnapshot();
    const std::wstring pattern = temp_ + L"\\korvanthelm-setup-*";
    const WatchedRun run = RunWatched(
        E2eExe(L"ok_probe"),
        With(Environment(), {{L"KORVANTHELM_PROBE_EXIT", L"7"},
                             {L"KORVANTHELM_PROBE_HOLD", ExeDirectory() + L"\\probe.exe"}}),
        L"", pattern);
    EXPECT_EQ(run.exit_code, 1u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(run.messages,
              (std::vector<std::string>{"at the box: 0 match " + ToUtf8(pattern),
                                        LaunchFailure(7, WorkDirectoryOf(reports[0], temp_))}));
    EXPECT_EQ(WorldSnapshot(), before);
}

TEST_F(RunSequenceE2e, MissingSetupProgramReportsTheSystemErrorCode) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(L"ok_no_setup_program"), Environment());
    EXPECT_EQ(run.exit_code, 1u);
    ASSERT_EQ(run.messages.size(), 1u);
    // The work directory's name is random: compare around it.
    const std::string prefix =
        "Не удалось запустить лаунчер (код 2): " + ToUtf8(temp_) + "\\korvanthelm-setup-";
    EXPECT_EQ(run.messages[0].substr(0, prefix.size()), prefix);
    EXPECT_EQ(
        run.messages[0].substr(prefix.size() + 32),
        ". Проверьте журнал защиты Windows и передайте разработчику имя обнаруженной угрозы.");
    EXPECT_EQ(WorldSnapshot(), before);
}

TEST_F(RunSequenceE2e, ExeWithoutPackageResource) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(L"no_resource"), Environment());
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{kPackageMissing});
    EXPECT_EQ(WorldSnapshot(), before);
}

}  // namespace
}  // namespace korvanthelm::testing
