// Faults a player's machine throws at the real KORVANTHELM.exe under Wine,
// each judged by the message, the exit code and the disk afterwards.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

constexpr char kWriteFailed[] = "Не удалось записать файлы лаунчера во временную папку.";

class FaultE2e : public E2eWorld {
  protected:
    std::vector<EnvChange> WithTemp(const std::wstring& temp) const {
        std::vector<EnvChange> env = Environment();
        env.push_back({L"TEMP", temp});
        env.push_back({L"TMP", temp});
        return env;
    }
};

// TEMP on a 4 MiB file system (small_temp.sh) and 8 MiB of entries: a write
// fails part-way through the package.
TEST_F(FaultE2e, TempFileSystemFillsUpWhileUnpacking) {
    const std::wstring small = Variable(L"KORVANTHELM_SMALL_TEMP");
    ULARGE_INTEGER total{};
    if (small.empty() || !GetDiskFreeSpaceExW(small.c_str(), nullptr, &total, nullptr) ||
        total.QuadPart > (std::uint64_t{16} << 20)) {
        GTEST_SKIP() << "no small file system at \"" << ToUtf8(small)
                     << "\": " << ReadBytes(small + L".status");
    }
    const std::wstring temp = UniqueName(small + L"\\temp-");
    MakeDirectories(temp);
    WriteBytes(temp + L"\\keep.txt", "not ours");
    const auto before = WorldSnapshot();
    const auto temp_before = Snapshot(temp);

    const WatchedRun run = RunWatched(E2eExe(L"fault_fill_disk"), WithTemp(temp));
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{kWriteFailed});
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(WorldSnapshot(), before);
    EXPECT_EQ(Snapshot(temp), temp_before);
    ForceRemoveTree(temp);
}

// TEMP nested deep, so that entry paths pass the classic 260 characters.
// Wine writes such paths (Windows would refuse them at the first folder or
// file); the set-up program's own path at 260 or more is refused before the
// start, with the code for a name too long, since Wine's CreateProcessW
// would start from garbage. Either way the work directory goes.
TEST_F(FaultE2e, TempDeeperThanTheClassicPathLimit) {
    // The set-up program's path is TEMP + 51 + 28 characters; the longest
    // entry path is TEMP + 87.
    const struct {
        std::size_t temp_length;
        std::uint32_t launch_code;
    } kCases[] = {
        {180, 0},    // set-up program at 259: runs, every entry written past 260
        {181, 206},  // set-up program at 260
        {264, 206},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.temp_length);
        std::wstring temp = temp_;
        while (temp.size() < c.temp_length) {
            temp += L"\\" +
                    std::wstring(std::min<std::size_t>(50, c.temp_length - temp.size() - 1), L'd');
        }
        ASSERT_EQ(temp.size(), c.temp_length);
        MakeDirectories(temp);
        DeleteFileW(report_.c_str());
        const auto before = WorldSnapshot();
        TempDir copy;

        std::vector<EnvChange> env = WithTemp(temp);
        env.push_back({L"KORVANTHELM_PROBE_COPY", copy / L"tree"});
        const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), env);
        EXPECT_EQ(WorldSnapshot(), before);
        if (c.launch_code == 0) {
            EXPECT_EQ(run.exit_code, 0u);
            EXPECT_TRUE(run.messages.empty());
            ASSERT_EQ(Reports().size(), 1u);
            // The probe's copy holds what was unpacked: the tree the package
            // was made from (the build writes it beside the packages).
            const std::wstring e2e = E2eDirectory();
            EXPECT_EQ(Snapshot(copy / L"tree"),
                      Snapshot(e2e.substr(0, e2e.rfind(L'\\')) + L"\\tests\\e2e\\probe-tree"));
            continue;
        }
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_TRUE(Reports().empty());
        ASSERT_EQ(run.messages.size(), 1u);
        // The work directory's name is random: compare around it.
        const std::string prefix = "Не удалось запустить лаунчер (код " +
                                   std::to_string(c.launch_code) + "): " + ToUtf8(temp) +
                                   "\\korvanthelm-setup-";
        EXPECT_EQ(run.messages[0].substr(0, prefix.size()), prefix);
        EXPECT_EQ(
            run.messages[0].substr(prefix.size() + 32),
            ". Проверьте журнал защиты Windows и передайте разработчику имя обнаруженной угрозы.");
    }
}

}  // namespace
}  // namespace korvanthelm::testing
