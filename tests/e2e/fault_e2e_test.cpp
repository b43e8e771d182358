// Faults a player's machine throws at the real KORVANTHELM.exe under Wine,
// each judged by the message, the exit code and the disk afterwards.
#include <gtest/gtest.h>
#include <windows.h>

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

}  // namespace
}  // namespace korvanthelm::testing
