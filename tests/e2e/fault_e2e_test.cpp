// Faults a player's machine throws at the real KORVANTHELM.exe under Wine,
// each judged by the message, the exit code and the disk afterwards.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "platform/failure_texts.h"
#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

constexpr char kWriteFailed[] = "Не удалось записать файлы лаунчера во временную папку.";

// The tree the probe package was made from (the build writes it beside the packages).
std::map<std::wstring, std::string> ProbeTree() {
    const std::wstring e2e = E2eDirectory();
    return Snapshot(e2e.substr(0, e2e.rfind(L'\\')) + L"\\tests\\e2e\\probe-tree");
}

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
            EXPECT_EQ(Snapshot(copy / L"tree"), ProbeTree());
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

// Newer Wine's cabinet.dll: Compression API stubs that report success and
// copy their input (the stand-in's "copy"). A stream longer than its table
// is cut at the table's size, one exactly as long comes back whole: either
// way the right count of bytes that are not the table. The exe unpacks with
// its own decoder all the same, and a damaged package keeps its message.
TEST_F(FaultE2e, CompressionApiStubThatCopiesItsInput) {
    std::map<std::wstring, std::string> as_long_tree = {
        {L"KORVANTHELM", "<dir>"},
        {L"KORVANTHELM\\KORVANTHELM.exe", ReadBytes(ExeDirectory() + L"\\probe.exe")},
        {L"zeros.bin", std::string(std::size_t{1} << 16, '\0')}};
    const struct {
        const wchar_t* package;
        std::map<std::wstring, std::string> tree;  // what is unpacked, when it runs
        const wchar_t* message;                    // otherwise
    } kCases[] = {
        {L"ok_probe", ProbeTree(), nullptr},  // stored chunks: the stream is the longer
        {L"ok_stream_as_long_as_table", as_long_tree, nullptr},
        {L"header_version_32", {}, kPackageCorrupt},  // both decoders fill the table
        // The copy comes out short, and no decoder takes the stream.
        {L"envelope_stream_garbage", {}, kPackageDecompressFailed},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(ToUtf8(c.package));
        DeleteFileW(report_.c_str());
        const auto before = WorldSnapshot();
        TempDir copy;
        std::vector<EnvChange> env = Environment();
        env.push_back({L"KORVANTHELM_PROBE_COPY", copy / L"tree"});
        env.push_back({L"KORVANTHELM_STANDIN_LOG", copy / L"calls"});
        env.push_back({L"KORVANTHELM_STANDIN_FAIL", L"copy"});
        const WatchedRun run = RunWatched(E2eExe(c.package), env);
        EXPECT_EQ(ReadBytes(copy / L"calls"), "create ok\ndecompress ok\n");
        EXPECT_EQ(WorldSnapshot(), before);
        if (c.message == nullptr) {
            EXPECT_EQ(run.messages, std::vector<std::string>{});
            EXPECT_EQ(Reports().size(), 1u);
            // Compared only after a run: two trees of 700 KiB print at length.
            if (run.exit_code == 0) {
                EXPECT_EQ(Snapshot(copy / L"tree"), c.tree);
            }
            EXPECT_EQ(run.exit_code, 0u);
            continue;
        }
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.messages, std::vector<std::string>{ToUtf8(c.message)});
        EXPECT_TRUE(Reports().empty());
    }
}

}  // namespace
}  // namespace korvanthelm::testing
