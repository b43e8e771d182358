// korvanthelm-pack end to end: real trees on disk, the real binary, and the
// package read back with the format code and wimlib.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "format/package_table.h"
#include "tests/common/hostile_package_cases.h"
#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/compress/compress_package_table.h"
#include "tools/pack/compress/progress_display.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/sha256_text.h"
#include "tools/pack/platform/unique_fd.h"
#include "tools/pack/platform/wimlib_lzms.h"
#include "tools/pack/signing/check_signer_result.h"
#include "tools/pack/signing/check_signing_prerequisites.h"
#include "tools/pack/tree/scan_launcher_tree.h"

namespace korvanthelm::pack {
namespace {

using test::AddDefaultLauncherFiles;
using test::RandomBytes;
using test::ReadFile;
using test::RunPacker;
using test::TempDir;
using test::WriteFile;

using Bytes = std::vector<std::byte>;

Bytes B(const std::string& text) {
    return Bytes(reinterpret_cast<const std::byte*>(text.data()),
                 reinterpret_cast<const std::byte*>(text.data()) + text.size());
}

std::string S(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The files below `root` by relative path, as the bootstrapper should
// recreate them.
std::map<std::string, Bytes> FilesOf(const std::string& root) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[std::filesystem::relative(entry.path(), root).string()] =
                ReadFile(entry.path().string());
        }
    }
    return files;
}

// The entries of a package, in table order.
std::vector<std::pair<std::string, Bytes>> EntriesOf(const Bytes& package) {
    const Bytes table = UnpackPackage(package);
    const auto count = format::CheckPackageTableHeader(table);
    EXPECT_TRUE(count);
    std::vector<std::pair<std::string, Bytes>> entries;
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    while (walker.Next(record)) {
        entries.emplace_back(S(record.path), Bytes(record.data.begin(), record.data.end()));
    }
    EXPECT_TRUE(walker.AtEnd());
    EXPECT_EQ(entries.size(), count.value_or(0));
    return entries;
}

// The digest lines of `pack`'s standard output.
std::map<std::string, std::string> DigestLines(const std::string& out) {
    std::map<std::string, std::string> lines;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            end = out.size();
        }
        const std::string line = out.substr(start, end - start);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) {
            lines[line.substr(0, space)] = line.substr(space + 1);
        }
        start = end + 1;
    }
    return lines;
}

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(PackRoundTrip, PackageHoldsExactlyTheTreeInByteOrder) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", RandomBytes(5000, 1));
    WriteFile(tree + "/a.txt", "dot sorts before slash");
    WriteFile(tree + "/a/b.txt", std::string(100000, 'x'));
    WriteFile(tree + "/B.txt", "capital B sorts before small a");
    WriteFile(tree + "/empty.dat", "");
    WriteFile(tree + "/\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\x2F\xD1\x84.bin", "Cyrillic names");
    WriteFile(tree + "/emoji\xF0\x9F\x98\x80.txt", "four-byte UTF-8");
    WriteFile(tree + "/.hidden", "dot files are files");

    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "") << "nothing to warn about, no progress when not a terminal";

    const Bytes package = ReadFile(dir / "package.bin");
    const auto entries = EntriesOf(package);
    const std::map<std::string, Bytes> files = FilesOf(tree);
    ASSERT_EQ(entries.size(), files.size());
    // std::map orders std::string keys by unsigned bytes: the package's order.
    auto file = files.begin();
    for (const auto& [path, data] : entries) {
        EXPECT_EQ(path, file->first);
        EXPECT_TRUE(data == file->second) << path;
        ++file;
    }

    const auto digests = DigestLines(run.out);
    EXPECT_EQ(LineCount(run.out), 3u) << run.out;
    EXPECT_EQ(digests.at("PackageDigest"), Sha256Text(package));
    EXPECT_EQ(digests.at("LauncherExeDigest"), Sha256Text(B("MZ launcher")));
    EXPECT_EQ(digests.at("LauncherJarDigest"), Sha256Text(B("PK jar")));
    ASSERT_EQ(package.size() >= 24, true);
    EXPECT_EQ(S(std::span(package).first(8)), "KTSETUP1");

    const auto verify = RunPacker({"verify", dir / "package.bin"});
    EXPECT_EQ(verify.exit_code, 0) << verify.err;
    const auto list = RunPacker({"list", dir / "package.bin"});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    EXPECT_EQ(LineCount(list.out), files.size());
    EXPECT_NE(list.out.find("      100000  a/b.txt\n"), std::string::npos) << list.out;
}

TEST(PackRoundTrip, SameTreeGivesIdenticalBytes) {
    const TempDir dir;
    // The same content created in opposite orders, at different times.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"z/last.txt", "z"}, {"m/middle.bin", std::string(70000, 'm')}, {"a/first.txt", "a"}};
    for (const auto& [path, content] : files) {
        WriteFile(dir / ("one/" + path), content);
    }
    AddDefaultLauncherFiles(dir / "one");
    sleep(1);
    AddDefaultLauncherFiles(dir / "two");
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        WriteFile(dir / ("two/" + it->first), it->second);
    }
    ::chmod((dir / "two/a/first.txt").c_str(), 0600);

    const auto first = RunPacker({"pack", dir / "one", "-o", dir / "one.bin"});
    const auto again = RunPacker({"pack", dir / "one", "-o", dir / "again.bin", "--jobs", "3"});
    const auto second = RunPacker({"pack", dir / "two", "-o", dir / "two.bin"});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    ASSERT_EQ(again.exit_code, 0) << again.err;
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_TRUE(ReadFile(dir / "one.bin") == ReadFile(dir / "again.bin"));
    EXPECT_TRUE(ReadFile(dir / "one.bin") == ReadFile(dir / "two.bin"));
    EXPECT_EQ(first.out, second.out);
}

TEST(PackRoundTrip, IncompressibleTableIsStored) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/noise.bin", RandomBytes(300000, 7));
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const Bytes package = ReadFile(dir / "package.bin");
    const auto envelope = format::ParsePackageEnvelope(package);
    ASSERT_TRUE(envelope);
    const auto layout = format::ParseContainer(envelope->stream);
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->chunks.size(), 1u);
    EXPECT_TRUE(layout->chunks[0].stored);
    EXPECT_EQ(layout->chunk_size, envelope->unpacked_size) << "K = T below 64 MiB";
    EXPECT_EQ(envelope->stream.size(), 24 + 4 + envelope->unpacked_size);
    EXPECT_EQ(EntriesOf(package).size(), 4u);
}

TEST(PackRoundTrip, CompressibleTableIsOneLzmsChunk) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/text.txt", std::string(200000, 'k'));
    ASSERT_EQ(RunPacker({"pack", tree, "-o", dir / "package.bin"}).exit_code, 0);
    const Bytes package = ReadFile(dir / "package.bin");
    const auto envelope = format::ParsePackageEnvelope(package);
    ASSERT_TRUE(envelope);
    const auto layout = format::ParseContainer(envelope->stream);
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->chunks.size(), 1u);
    EXPECT_FALSE(layout->chunks[0].stored);
    EXPECT_EQ(S(envelope->stream.first(6)), std::string("\x0A\x51\xE5\xC0\x18\x00", 6));
    EXPECT_LT(package.size(), 10000u);
}

// Several chunks cheaply: a small chunk size (tests only; Windows uses
// 64 MiB) over text, noise and text, with a short last chunk.
TEST(PackRoundTrip, ChunksAreCompressedOrStoredEachOnItsOwn) {
    constexpr std::size_t kChunk = 0x8000;  // the smallest K a multi-chunk buffer may use
    format::PackageTableBuilder builder(3);
    const auto fill = [](std::span<std::byte> out, const Bytes& from) {
        std::copy(from.begin(), from.end(), out.begin());
    };
    const Bytes text = B(std::string(3 * kChunk, 't'));
    const Bytes noise = RandomBytes(3 * kChunk, 5);
    fill(builder.AddRecord(B("a"), text.size()), text);
    fill(builder.AddRecord(B("b"), noise.size()), noise);
    fill(builder.AddRecord(B("c"), 1000), Bytes(1000, std::byte{'u'}));
    const Bytes table = std::move(builder).Finish();

    const Bytes stream = CompressPackageTable(table, {.jobs = 1, .chunk_size = kChunk});
    const Bytes package = format::WritePackageEnvelope(table.size(), stream);
    const auto layout = format::ParseContainer(stream);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->chunk_size, kChunk);
    ASSERT_EQ(layout->chunks.size(), (table.size() + kChunk - 1) / kChunk);
    EXPECT_FALSE(layout->chunks[0].stored) << "text";
    EXPECT_TRUE(layout->chunks[4].stored) << "noise only";
    EXPECT_FALSE(layout->chunks.back().stored) << "text again";
    EXPECT_LT(layout->chunks.back().uncompressed_size, kChunk);

    EXPECT_TRUE(UnpackPackage(package) == table);
    EXPECT_NO_THROW(CheckPackageDecodesTo(package, table));
    Bytes other = table;
    other[5 * kChunk + 7] ^= std::byte{1};
    EXPECT_THROW(CheckPackageDecodesTo(package, other), PackError) << "one byte differs";
    EXPECT_THROW(CheckPackageDecodesTo(package, std::span(table).first(table.size() - 1)),
                 PackError);
}

// ---- Compression on several threads ------------------------------------------

// What the packer wrote before it had threads: the container writer with one
// compressor, chunk after chunk.
Bytes SerialContainer(std::span<const std::byte> table, std::size_t chunk_size) {
    LzmsCompressor compressor(std::min(table.size(), chunk_size));
    return format::WriteContainer(table, chunk_size,
                                  [&](std::span<const std::byte> in, std::span<std::byte> out) {
                                      return compressor.Compress(in, out);
                                  });
}

TEST(PackParallel, EveryJobCountGivesTheSerialBytes) {
    constexpr std::size_t kChunk = 0x8000;
    // Ten chunks whose compression takes very different times (noise is
    // stored, runs of one byte are quick, word salad is slow), so threads
    // finish out of order; then a last chunk of one byte, which is never
    // given to the compressor.
    Bytes table;
    for (unsigned i = 0; i < 10; ++i) {
        const Bytes part = i % 3 == 1   ? RandomBytes(kChunk, i)
                           : i % 3 == 2 ? Bytes(kChunk, std::byte{'x'})
                                        : B(test::WordSalad(kChunk, i));
        table.insert(table.end(), part.begin(), part.end());
    }
    table.push_back(std::byte{'!'});
    const Bytes serial = SerialContainer(table, kChunk);
    const std::size_t chunks = 11;

    for (const unsigned jobs : {1u, 2u, 3u, 11u, 40u}) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE("jobs " + std::to_string(jobs) + ", round " + std::to_string(round));
            std::atomic<int> inside{0};
            bool overlapped = false;
            std::vector<int> state(chunks, 0);  // 0 waiting, 1 started, 2 finished
            bool out_of_turn = false;
            std::uint64_t finished_bytes = 0;
            std::set<std::thread::id> threads;
            const auto enter = [&] { overlapped |= inside.fetch_add(1) != 0; };
            const auto leave = [&] { inside.fetch_sub(1); };
            const CompressionEvents events{[&](std::size_t index, std::uint64_t) {
                                               enter();
                                               out_of_turn |= index >= chunks || state[index] != 0;
                                               state[std::min(index, chunks - 1)] = 1;
                                               threads.insert(std::this_thread::get_id());
                                               leave();
                                           },
                                           [&](std::size_t index, std::uint64_t bytes) {
                                               enter();
                                               out_of_turn |= index >= chunks || state[index] != 1;
                                               state[std::min(index, chunks - 1)] = 2;
                                               finished_bytes += bytes;
                                               leave();
                                           }};
            const Bytes stream =
                CompressPackageTable(table, {.jobs = jobs, .chunk_size = kChunk}, events);
            EXPECT_TRUE(stream == serial) << "the bytes must not depend on the threads";
            EXPECT_FALSE(overlapped) << "events are reported one at a time";
            EXPECT_FALSE(out_of_turn) << "each chunk started once, then finished once";
            EXPECT_EQ(std::count(state.begin(), state.end(), 2), static_cast<long>(chunks));
            EXPECT_EQ(finished_bytes, table.size());
            EXPECT_LE(threads.size(), std::min<std::size_t>(jobs, chunks));
        }
    }
}

TEST(PackParallel, FailuresStopEveryThreadAndReachTheCaller) {
    constexpr std::size_t kChunk = 0x8000;
    const Bytes table = B(test::WordSalad(9 * kChunk, 3));
    for (const unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        std::atomic<unsigned> started{0};
        const CompressionEvents fail_at_start{[&](std::size_t index, std::uint64_t) {
                                                  ++started;
                                                  if (index == 4) {
                                                      throw PackError("stop at 4");
                                                  }
                                              },
                                              {}};
        EXPECT_THROW(
            CompressPackageTable(table, {.jobs = jobs, .chunk_size = kChunk}, fail_at_start),
            PackError);
        EXPECT_EQ(started.load(), 5u) << "no chunk is taken after the failure";
        const CompressionEvents fail_at_finish{{}, [&](std::size_t index, std::uint64_t) {
                                                   if (index == 8) {
                                                       throw std::runtime_error("stop at 8");
                                                   }
                                               }};
        EXPECT_THROW(
            CompressPackageTable(table, {.jobs = jobs, .chunk_size = kChunk}, fail_at_finish),
            std::runtime_error);
    }
    EXPECT_THROW(CompressPackageTable(table, {.jobs = 0, .chunk_size = kChunk}),
                 std::invalid_argument);
    EXPECT_THROW(CompressPackageTable(table, {.jobs = 2, .chunk_size = kChunk - 1}),
                 std::invalid_argument);
}

TEST(PackParallel, DefaultJobsFollowCoresChunksAndMemory) {
    constexpr std::uint64_t kMiB = 1 << 20;
    constexpr std::uint64_t kFour = 4 * format::kLzmsChunkSize;  // four full chunks
    const std::uint64_t per_job = CompressionMemoryPerJob(kFour);
    // The container being written may need the table's size again.
    const std::uint64_t container = 24 + kFour + 4 * 4;
    struct Case {
        const char* what;
        std::uint64_t table;
        unsigned cores;
        std::optional<std::uint64_t> memory;
        JobChoice expected;
    };
    const Case cases[] = {
        {"memory unknown: the cores, up to the chunks", kFour, 8, std::nullopt, {4, false}},
        {"plenty of memory, two cores", kFour, 2, container + 10 * per_job, {2, false}},
        {"memory for exactly three", kFour, 8, container + 3 * per_job, {3, true}},
        {"one byte short of three", kFour, 8, container + 3 * per_job - 1, {2, true}},
        {"not even one fits: still one", kFour, 8, container - 1, {1, true}},
        {"one core: nothing to lower", kFour, 1, 0, {1, false}},
        {"one chunk: one job", 1000, 8, std::nullopt, {1, false}},
        {"cores unknown", kFour, 0, std::nullopt, {1, false}},
        {"a short fifth chunk counts", kFour + 1, 8, std::nullopt, {5, false}},
    };
    for (const Case& c : cases) {
        const JobChoice choice = ChooseCompressionJobs(c.table, c.cores, c.memory);
        EXPECT_EQ(choice.jobs, c.expected.jobs) << c.what;
        EXPECT_EQ(choice.lowered_for_memory, c.expected.lowered_for_memory) << c.what;
    }
    // A 64 MiB compressor is wimlib's ~9 bytes per byte, plus the block buffer;
    // a small table gets a compressor of its own size.
    EXPECT_GT(per_job, 8 * 64 * kMiB);
    EXPECT_LT(per_job, 12 * 64 * kMiB);
    EXPECT_LT(CompressionMemoryPerJob(1 << 20), per_job / 32);

    const std::string meminfo =
        "MemTotal:       24683956 kB\nMemFree:        22064724 kB\n"
        "MemAvailable:   24104212 kB\nBuffers:           58420 kB\n";
    EXPECT_EQ(MemAvailableFrom(meminfo), std::uint64_t{24104212} * 1024);
    EXPECT_EQ(MemAvailableFrom("MemTotal: 5 kB\nMemFree: 3 kB\n"), std::nullopt);
    EXPECT_EQ(MemAvailableFrom("MemAvailable: 12 MB\n"), std::nullopt) << "only kB is known";
    EXPECT_EQ(MemAvailableFrom("MemAvailable: 18446744073709551615 kB\n"), std::nullopt);
    EXPECT_EQ(MemAvailableFrom("MemAvailable:"), std::nullopt);
    EXPECT_TRUE(AvailableMemory()) << "this host has /proc/meminfo";
    EXPECT_GE(UsableCores(), 1u);
}

TEST(PackProgress, MovesWithinAChunkAndNeverGoesBack) {
    using Clock = CompressionProgress::Clock;
    const Clock::time_point t0{};
    const auto at = [&](double seconds) {
        return t0 +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    // Three chunks of 10 MB and a last one of 4 MB on two threads; the speed
    // is assumed to be 1.5 MB/s per thread until a chunk is finished.
    CompressionProgress progress(34'000'000, 4, 2);
    enum What { kStart, kFinish, kLook };
    struct Step {
        double seconds;
        What what;
        std::size_t index;        // kStart, kFinish
        std::uint64_t value;      // kStart: chunk bytes; kLook: expected done bytes
        std::size_t chunks_done;  // kLook
        const char* why;
    };
    const Step steps[] = {
        {0, kStart, 0, 10'000'000, 0, ""},
        {0, kStart, 1, 10'000'000, 0, ""},
        {0, kLook, 0, 0, 0, "nothing done yet"},
        {2, kLook, 0, 6'000'000, 0, "moves before any chunk is finished"},
        {10, kLook, 0, 19'000'000, 0, "a running chunk counts for at most 95 %"},
        {10, kFinish, 0, 0, 0, ""},  // 10 MB in 10 s: 1 MB/s
        {10, kStart, 2, 10'000'000, 0, ""},
        {10, kLook, 0, 19'500'000, 1, "the measured speed replaces the assumed one"},
        {20, kLook, 0, 29'000'000, 1, ""},
        {20, kFinish, 1, 0, 0, ""},  // 20 MB in 30 thread-seconds: 2/3 MB/s
        {20, kStart, 3, 4'000'000, 0, ""},
        {20, kLook, 0, 29'000'000, 2, "a slower measured speed does not take it back"},
        {26, kLook, 0, 33'300'000, 2, "both running chunks at their caps"},
        {30, kFinish, 3, 0, 0, ""},
        {30, kLook, 0, 33'500'000, 3, "below the total while a chunk runs"},
        {31, kFinish, 2, 0, 0, ""},
        {31, kLook, 0, 34'000'000, 4, "all of it once every chunk is finished"},
    };
    for (const Step& step : steps) {
        switch (step.what) {
            case kStart:
                progress.ChunkStarted(step.index, step.value, at(step.seconds));
                break;
            case kFinish:
                progress.ChunkFinished(step.index, at(step.seconds));
                break;
            case kLook: {
                const CompressionProgress::Estimate estimate = progress.At(at(step.seconds));
                EXPECT_NEAR(static_cast<double>(estimate.done_bytes),
                            static_cast<double>(step.value), 1.0)
                    << "at " << step.seconds << " s: " << step.why;
                EXPECT_EQ(estimate.chunks_done, step.chunks_done) << "at " << step.seconds << " s";
                EXPECT_EQ(estimate.seconds_left > 0, estimate.chunks_done < 4)
                    << "at " << step.seconds << " s";
                break;
            }
        }
    }
}

// The time left counts down: a measured speed lower than the assumed one, or
// fewer threads busy near the end, never make it jump back up; it runs out
// (below what is shown) instead, and stays above 0 until the last chunk ends.
TEST(PackProgress, EstimateOfTimeLeftNeverRunsBackwards) {
    using Clock = CompressionProgress::Clock;
    const auto at = [](double seconds) {
        return Clock::time_point{} +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    enum What { kStart, kFinish, kLook };
    struct Step {
        double seconds;
        What what;
        std::size_t index;    // kStart, kFinish
        std::uint64_t bytes;  // kStart
        double left;          // kLook: the expected time left; -1: only "below what is shown"
        const char* why;
    };
    // Two 30 MB chunks on two threads: assumed 1.5 MB/s each, so 20 s at
    // first; the chunks really take 100 s (0.3 MB/s), which the old estimate
    // turned into a jump from a few seconds left to a minute and more.
    const Step steps[] = {
        {0, kStart, 0, 30'000'000, 0, ""},
        {0, kStart, 1, 30'000'000, 0, ""},
        {0, kLook, 0, 0, 20, "the assumed speed on both threads"},
        {5, kLook, 0, 0, 15, "counts down with the clock"},
        {18, kLook, 0, 0, 2, ""},
        {25, kLook, 0, 0, -1, "ran out: not shown, yet above 0"},
        {99, kFinish, 0, 0, 0, ""},  // 30 MB in 99 s: far slower than assumed
        {99, kLook, 0, 0, -1, "the slower speed does not raise it again"},
        {100, kFinish, 1, 0, 0, ""},
        {100, kLook, 0, 0, 0, "0 once every chunk is finished"},
    };
    CompressionProgress progress(60'000'000, 2, 2);
    std::optional<double> last_left;
    double last_seconds = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.seconds) + " s: " + step.why);
        if (step.what == kStart) {
            progress.ChunkStarted(step.index, step.bytes, at(step.seconds));
        } else if (step.what == kFinish) {
            progress.ChunkFinished(step.index, at(step.seconds));
        } else {
            const double left = progress.At(at(step.seconds)).seconds_left;
            if (step.left < 0) {
                EXPECT_GT(left, 0);
                EXPECT_LT(left, kShownSecondsLeft);
            } else {
                EXPECT_NEAR(left, step.left, 0.01);
            }
            if (last_left) {
                // Down with the clock, or run out and never shown again.
                const bool counted_down = left <= *last_left - (step.seconds - last_seconds) + 1e-9;
                const bool ran_out = left < kShownSecondsLeft && left <= *last_left;
                EXPECT_TRUE(counted_down || ran_out) << left << " after " << *last_left
                                                     << ": it rose, or fell slower than the clock";
            }
            last_left = left;
            last_seconds = step.seconds;
        }
    }
    // A measured speed faster than the assumed one lowers it at once.
    CompressionProgress fast(60'000'000, 4, 1);
    fast.ChunkStarted(0, 15'000'000, at(0));
    EXPECT_NEAR(fast.At(at(0)).seconds_left, 40, 0.01);
    fast.ChunkFinished(0, at(1));  // 15 MB/s
    fast.ChunkStarted(1, 15'000'000, at(1));
    EXPECT_NEAR(fast.At(at(1)).seconds_left, 3, 0.01);
}

// ---- Hostile and unusual trees ----------------------------------------------

struct HostileTree {
    const char* name;
    std::function<void(const std::string& tree)> make;
    int exit_code;
    const char* message;  // must appear in the one line on stderr
};

void MakeFifo(const std::string& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

// Two files, `first` and `second` (paths in the tree), as one tree maker.
std::function<void(const std::string&)> Files(std::string first, std::string second) {
    return [first, second](const std::string& t) {
        WriteFile(t + "/" + first, "1");
        WriteFile(t + "/" + second, "2");
    };
}

const HostileTree kHostileTrees[] = {
    {"DeviceName", [](const std::string& t) { WriteFile(t + "/bin/CON.txt", "x"); }, 1,
     "\"bin/CON.txt\""},
    {"TrailingDotFolder", [](const std::string& t) { WriteFile(t + "/a./b", "x"); }, 1, "\"a./b\""},
    {"TrailingSpaceBeforeExtension", [](const std::string& t) { WriteFile(t + "/foo .txt", "x"); },
     1, "\"foo .txt\""},
    {"ForbiddenCharacter", [](const std::string& t) { WriteFile(t + "/what?.txt", "x"); }, 1,
     "\"what?.txt\""},
    {"ControlCharacter", [](const std::string& t) { WriteFile(t + "/tab\there", "x"); }, 1,
     "\"tab\\x09here\""},
    {"SymlinkToFile",
     [](const std::string& t) {
         WriteFile(t + "/real.txt", "x");
         ASSERT_EQ(::symlink("real.txt", (t + "/link.txt").c_str()), 0);
     },
     1, "symbolic link"},
    {"SymlinkToFolderOutside",
     [](const std::string& t) { ASSERT_EQ(::symlink("/etc", (t + "/etc").c_str()), 0); }, 1,
     "\"etc\""},
    {"DanglingSymlink",
     [](const std::string& t) { ASSERT_EQ(::symlink("/nonexistent", (t + "/gone").c_str()), 0); },
     1, "symbolic link"},
    {"Fifo", [](const std::string& t) { MakeFifo(t + "/pipe"); }, 1, "special file"},
    {"AsciiCaseDuplicates",
     [](const std::string& t) {
         WriteFile(t + "/Docs/Readme.txt", "1");
         WriteFile(t + "/docs/readme.TXT", "2");
     },
     1, "\"Docs/Readme.txt\""},
    // Names Windows folds into one beyond ASCII; the message names both.
    {"CyrillicCaseDuplicates", Files("Файл.txt", "файл.txt"), 1,
     "entry paths \"Файл.txt\" and \"файл.txt\" differ only in letter case"},
    {"GreekFinalSigma", Files("ΟΔΟΣ.txt", "οδος.txt"), 1,
     "entry paths \"ΟΔΟΣ.txt\" and \"οδος.txt\""},
    {"TitlecaseDigraph", Files("ǅ.txt", "ǆ.txt"), 1, "entry paths \"ǅ.txt\" and \"ǆ.txt\""},
    {"DeseretOutsideTheBmp", Files("\U00010400.txt", "\U00010428.txt"), 1,
     "entry paths \"\U00010400.txt\" and \"\U00010428.txt\""},
    {"FileBesideFolderOfOtherCase", Files("a", "A/b"), 1,
     "file \"a\" and folder \"A\" of \"A/b\" differ only in letter case"},
    {"FolderBesideFileOfOtherCase", Files("A", "a/b"), 1,
     "file \"A\" and folder \"a\" of \"a/b\" differ only in letter case"},
    {"CyrillicFileBesideDeepFolder", Files("Я/файл", "Я/Файл/x"), 1,
     "file \"Я/файл\" and folder \"Я/Файл\" of \"Я/Файл/x\""},
    // Unpacks on Windows, but as one folder where the tree has two.
    {"FolderSpelledTwoWays", Files("Dir/x", "dir/y"), 1,
     "folder \"Dir\" of \"Dir/x\" and folder \"dir\" of \"dir/y\" differ only in "
     "letter case, one folder on Windows"},
    {"InvalidUtf8Name", [](const std::string& t) { WriteFile(t + "/bad\xFF.txt", "x"); }, 1,
     "bad\\xff.txt"},
    {"OverlongUtf8Name", [](const std::string& t) { WriteFile(t + "/slash\xC0\xAF", "x"); }, 1,
     "not valid UTF-8"},
    {"PathOver1000Units",
     [](const std::string& t) {
         std::string path = t;
         for (int i = 0; i < 5; ++i) {
             path += "/" + std::string(200, 'd');
         }
         WriteFile(path + "/f", "x");
     },
     1, "unsafe entry path"},
};

void PrintTo(const HostileTree& c, std::ostream* out) {
    *out << c.name;
}

class PackHostileTree : public testing::TestWithParam<HostileTree> {};

TEST_P(PackHostileTree, RefusedWithOneLineNamingThePath) {
    const HostileTree& c = GetParam();
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    c.make(tree);
    // An earlier package must survive a refused run untouched.
    WriteFile(dir / "package.bin", "previous package");

    const auto run = RunPacker(
        {"pack", tree, "-o", dir / "package.bin", "--digests-cmake", dir / "digests.cmake"});
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(S(ReadFile(dir / "package.bin")), "previous package");
    EXPECT_FALSE(std::filesystem::exists(dir / "digests.cmake"));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, PackHostileTree, testing::ValuesIn(kHostileTrees),
                         [](const testing::TestParamInfo<HostileTree>& info) {
                             return std::string(info.param.name);
                         });

TEST(PackTreeLimits, EmptyFoldersAreDroppedWithAWarning) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    std::filesystem::create_directories(tree + "/logs/old/older");
    std::filesystem::create_directories(tree + "/KORVANTHELM/cache");
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The outermost empty folder is named once, not each folder inside it.
    EXPECT_EQ(LineCount(run.err), 2u) << run.err;
    EXPECT_NE(run.err.find("warning: empty folder dropped, a package holds files only: "
                           "\"KORVANTHELM/cache\""),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\"logs\"\n"), std::string::npos) << run.err;
    EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 3u);
}

// Near misses of the case-folding check: each tree packs, every file kept.
TEST(PackTreeLimits, NamesDistinctUnderSimpleFoldingPack) {
    const std::vector<std::function<void(const std::string&)>> kTrees = {
        Files("straße.txt", "strasse.txt"),  // only full folding makes "ß" "ss"
        Files("a", "ab/c"),                  // a name prefix, not a folder prefix
        Files("a.txt", "a/b"),
        Files("Dir/x", "Dir/y"),  // the same folder spelled the same way
        Files("Я/x", "Я/Y"),
    };
    for (std::size_t i = 0; i < kTrees.size(); ++i) {
        SCOPED_TRACE(i);
        const TempDir dir;
        const std::string tree = dir / "tree";
        AddDefaultLauncherFiles(tree);
        kTrees[i](tree);
        const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 5u);
    }
}

TEST(PackTreeLimits, TreeWithoutFilesIsRefused) {
    const TempDir dir;
    std::filesystem::create_directories(dir / "tree/only/folders");
    const auto run = RunPacker({"pack", dir / "tree", "-o", dir / "package.bin", "--launcher-exe",
                                dir / "tree", "--launcher-jar", dir / "tree"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("no files in"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "package.bin"));
}

TEST(PackTreeLimits, TenThousandFilesPassAndOneMoreIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    for (int i = 0; i < 9997; ++i) {
        const std::string folder = tree + "/d" + std::to_string(i / 1000);
        std::filesystem::create_directories(folder);
        const int fd = ::open((folder + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const auto fits = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(fits.exit_code, 0) << fits.err;
    EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 10000u);

    WriteFile(tree + "/one-more", "");
    const auto over = RunPacker({"pack", tree, "-o", dir / "over.bin"});
    EXPECT_EQ(over.exit_code, 1);
    EXPECT_NE(over.err.find("more than 10000 files"), std::string::npos) << over.err;
}

// Sparse files: no disk space, and nothing here may read them.
TEST(PackTreeLimits, TableOf2GiBFitsAndOneByteMoreIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/a", "");
    const std::string big = tree + "/big.bin";
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Header 10, record "a" 11, record "big.bin" 17 + data.
    const off_t exactly = 0x80000000 - 10 - 11 - 17;
    ASSERT_EQ(::ftruncate(fd, exactly), 0);
    EXPECT_EQ(ScanLauncherTree(tree).table_size, 0x80000000u);

    ASSERT_EQ(::ftruncate(fd, exactly + 1), 0);
    ::close(fd);
    EXPECT_THROW(ScanLauncherTree(tree), PackError);
    AddDefaultLauncherFiles(tree);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("package table over 0x80000000 bytes"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\"big.bin\""), std::string::npos) << run.err;
}

TEST(PackTreeLimits, PathOver65535BytesIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    // Built folder by folder: the whole path is far beyond PATH_MAX.
    int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string name(250, 'n');
    for (int depth = 0; depth < 263; ++depth) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    const int file = ::openat(fd, "f", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    ::close(file);
    ::close(fd);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("over 65535 bytes"), std::string::npos) << run.err.substr(0, 300);
    EXPECT_EQ(LineCount(run.err), 1u);
    // TempDir's removal works with whole paths, far too long here: take the
    // chain apart folder by folder.
    std::function<void(int, int)> remove = [&](int at, int depth) {
        const int inner = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(inner, 0);
        if (depth + 1 < 263) {
            remove(inner, depth + 1);
        } else {
            ::unlinkat(inner, "f", 0);
        }
        ::close(inner);
        ::unlinkat(at, name.c_str(), AT_REMOVEDIR);
    };
    const int root = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    remove(root, 0);
    ::close(root);
}

TEST(PackTreeLimits, OutputsInsideTheTreeAreRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    for (const std::vector<std::string>& outputs :
         {std::vector<std::string>{"-o", tree + "/package.bin"},
          std::vector<std::string>{"-o", dir / "package.bin", "--digests-cmake",
                                   tree + "/sub/../digests.cmake"}}) {
        std::vector<std::string> args = {"pack", tree};
        args.insert(args.end(), outputs.begin(), outputs.end());
        const auto run = RunPacker(args);
        EXPECT_EQ(run.exit_code, 1) << outputs[1];
        EXPECT_NE(run.err.find("is inside the launcher tree"), std::string::npos) << run.err;
    }
    EXPECT_EQ(RunPacker({"pack", tree, "-o", dir / "tree-package.bin"}).exit_code, 0)
        << "a sibling whose name starts like the tree's is outside it";
}

// ---- Cheap checks before long work ---------------------------------------------

// Every path below `root`, with a file's SHA-256, a link's target or "<folder>"
// (digests, so that a failure prints lines, not megabytes).
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        if (entry.is_symlink()) {
            paths[path] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            paths[path] = "<folder>";
        } else {
            paths[path] = Sha256Text(ReadFile(path));
        }
    }
    return paths;
}

// Each of these would lose a file, or fail only after the compression. Each
// is refused with one line naming the cause, at once (the tree's 6 MB take
// seconds to compress), every file as it was and nothing new anywhere.
TEST(PackCheapChecks, RefusedBeforeAnyWorkWithNothingChanged) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/data.txt", test::WordSalad(6 << 20, 3));
    const std::string stub = dir / "stub.exe";
    WriteFile(stub, "the only copy of the stub");
    std::filesystem::create_symlink(stub, dir / "stub-link.exe");
    const std::string package = dir / "package.bin";
    WriteFile(package, "the only copy of the package");
    const std::string previous = dir / "previous.bin";
    WriteFile(previous, "a package made before");
    const std::string launcher = dir / "launcher.exe";
    WriteFile(launcher, "a launcher outside the tree");
    std::filesystem::create_directory(dir / "folder");
    const std::string hex(64, 'a');
    const std::vector<std::string> from_package = {"--launcher-exe-sha256", hex,
                                                   "--launcher-jar-sha256", hex};
    const std::vector<std::string> token = {
        "--sign-pkcs11-module", dir / "no-module.so",
        "--sign-key",           "pkcs11:object=release;type=private",
        "--sign-cert",          dir / "cert.pem"};

    struct Case {
        std::vector<std::string> args;
        std::string text;  // in the one line of standard error
    };
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const Case cases[] = {
        {{"pack", tree, "-o", dir / "no/such/dir/package.bin"},
         "cannot write \"" + dir / "no/such/dir/package.bin" + "\": its folder \"" +
             dir / "no/such/dir" + "\" does not exist"},
        {{"pack", tree, "-o", dir / "package.bin", "--digests-header", dir / "no/digests.h"},
         "its folder \"" + dir / "no" + "\" does not exist"},
        {{"build", tree, "-o", dir / "no/such/dir/KORVANTHELM.exe", "--stub", stub},
         "its folder \"" + dir / "no/such/dir" + "\" does not exist"},
        {{"pack", tree, "-o", stub + "/package.bin"}, "\"" + stub + "\" is not a folder"},
        {{"pack", tree, "-o", dir / "folder"}, "it is a folder; name the file to write"},
        // An output that is another output or an input, however spelled.
        {{"pack", tree, "-o", previous, "--digests-cmake", previous},
         "refused: the output \"" + previous + "\" is also the --digests-cmake file"},
        {{"pack", tree, "-o", previous, "--digests-header", dir / "tree/../previous.bin"},
         "is also the --digests-header file"},
        {{"pack", tree, "-o", dir / "new.bin", "--digests-header", dir / "./new.bin"},
         "refused: the output \"" + dir / "new.bin" + "\" is also the --digests-header file"},
        {{"pack", tree, "-o", dir / "new.bin", "--digests-cmake", dir / "d.cmake",
          "--digests-header", dir / "folder/../d.cmake"},
         "refused: the --digests-cmake output \"" + dir / "d.cmake" +
             "\" is also the --digests-header file"},
        {{"pack", tree, "-o", launcher, "--launcher-exe", launcher},
         "refused: the output \"" + launcher + "\" is also the --launcher-exe file"},
        {{"build", tree, "-o", stub, "--stub", stub},
         "refused: the output \"" + stub + "\" is also the --stub file"},
        {{"build", tree, "-o", dir / "stub-link.exe", "--stub", stub}, "is also the --stub file"},
        {with({"build", "--package", package, "-o", package, "--stub", stub}, from_package),
         "refused: the output \"" + package + "\" is also the --package file"},
        // What a signing needs, before the stub is even read.
        {{"build", tree, "-o", dir / "x.exe", "--stub", stub, "--sign-command", "true",
          "--timestamp-url", "http//tsa.example/"},
         "the timestamp URL \"http//tsa.example/\" is not an http:// or https:// address"},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, token),
         "the PKCS#11 module \"" + dir / "no-module.so" + "\" does not load: "},
    };
    const std::map<std::string, std::string> before = Snapshot(dir.path());
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        const auto started = std::chrono::steady_clock::now();
        const auto run = RunPacker(c.args);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(run.exit_code, 1) << joined << run.err;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << joined << "\n" << run.err;
        EXPECT_EQ(LineCount(run.err), 1u) << joined << "\n" << run.err;
        EXPECT_LT(took, std::chrono::seconds(1)) << joined << "took as long as compressing";
        EXPECT_EQ(Snapshot(dir.path()), before) << joined;
    }
}

TEST(PackCheapChecks, TimestampUrlsNeedHttpAndAHost) {
    struct Case {
        std::string_view url;
        bool good;
    };
    constexpr Case kCases[] = {
        {"http://timestamp.example.com", true},
        {"https://tsa.example/rfc3161?x=1", true},
        {"HTTP://TSA.EXAMPLE:8080/", true},       // schemes and hosts ignore case
        {"http://127.0.0.1:9/", true},            // the tests' unreachable servers
        {"http://[::1]:318/tsa", true},           // an IPv6 host in brackets
        {"http://tsa.example#x", true},           // a fragment right after the host
        {"http//tsa.example/", false},            // no colon after the scheme
        {"ftp://tsa.example/", false},            // osslsigncode speaks HTTP only
        {"tsa.example", false},                   // no scheme at all
        {"http://", false},                       // no host
        {"http:///tsa", false},                   // an empty host before the path
        {"http://:80/", false},                   // a port without a host
        {"http://tsa.example:/", false},          // a colon without a port
        {"http://tsa.example:12345678/", false},  // more digits than a port has
        {"http://tsa example/", false},           // a space inside
        {"http://tsa.example/\n", false},         // a control character
        {"http://user@tsa.example/", false},      // credentials do not belong on a command line
        {"http://[::1/", false},                  // an unclosed bracket
        {"https:/tsa.example", false},            // one slash
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(IsTimestampUrl(c.url), c.good) << c.url;
    }
}

// ---- Launcher digests and digest files ---------------------------------------

TEST(PackDigests, LauncherFilesResolveAsDocumented) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", "set-up program");
    WriteFile(tree + "/bin/launcher.exe", "exe in tree");
    WriteFile(tree + "/bin/launcher.jar", "jar in tree");
    WriteFile(dir / "work/bin/launcher.jar", "jar beside the working folder");
    WriteFile(dir / "elsewhere.exe", "absolute exe");

    // Relative and missing in the working folder: taken inside the tree.
    auto run = RunPacker({"pack", tree, "-o", dir / "p.bin", "--launcher-exe", "bin/launcher.exe",
                          "--launcher-jar", "bin/launcher.jar"},
                         dir / "work");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(DigestLines(run.out).at("LauncherExeDigest"), Sha256Text(B("exe in tree")));
    EXPECT_EQ(DigestLines(run.out).at("LauncherJarDigest"),
              Sha256Text(B("jar beside the working folder")))
        << "present relative to the working folder: used as given";

    run = RunPacker({"pack", tree, "-o", dir / "p.bin", "--launcher-exe", dir / "elsewhere.exe",
                     "--launcher-jar", "bin/launcher.jar"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(DigestLines(run.out).at("LauncherExeDigest"), Sha256Text(B("absolute exe")));

    // No launcher files given and none where the demo tree keeps them.
    run = RunPacker({"pack", tree, "-o", dir / "p2.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("KORVANTHELM/launcher/KorvanThelmLauncher.exe"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("--launcher-exe"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "p2.bin"));
}

TEST(PackDigests, DigestFilesHoldTheSameDigests) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin", "--digests-cmake",
                                dir / "digests.cmake", "--digests-header", dir / "digests.h"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto digests = DigestLines(run.out);
    const std::string cmake = S(ReadFile(dir / "digests.cmake"));
    const std::string header = S(ReadFile(dir / "digests.h"));
    for (const auto& [name, variable] :
         {std::pair{"PackageDigest", "KORVANTHELM_PACKAGE_SHA256"},
          std::pair{"LauncherExeDigest", "KORVANTHELM_LAUNCHER_EXE_SHA256"},
          std::pair{"LauncherJarDigest", "KORVANTHELM_LAUNCHER_JAR_SHA256"}}) {
        const std::string hex = digests.at(name);
        EXPECT_EQ(hex.size(), 64u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        EXPECT_NE(cmake.find(std::string("set(") + variable + " \"" + hex + "\")\n"),
                  std::string::npos)
            << cmake;
        EXPECT_NE(header.find(std::string("#define ") + variable + " \"" + hex + "\"\n"),
                  std::string::npos)
            << header;
    }
    struct stat status {};
    ASSERT_EQ(::stat((dir / "package.bin").c_str(), &status), 0);
    EXPECT_NE(status.st_mode & 0044, 0u) << "readable like any build output, not 0600";
}

// ---- verify and list on damaged packages ---------------------------------------

TEST(PackVerify, DamagedPackagesFailWithTheReason) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/data.txt", std::string(50000, 'q') + "end");
    ASSERT_EQ(RunPacker({"pack", tree, "-o", dir / "good.bin"}).exit_code, 0);
    const Bytes good = ReadFile(dir / "good.bin");

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"envelope magic", [](Bytes& p) { p[0] = std::byte{'X'}; }, "KTSETUP1"},
        {"unpacked_size one more", [](Bytes& p) { p[8] = static_cast<std::byte>(int(p[8]) + 1); },
         "unpacked"},
        {"unpacked_size over 2 GiB", [](Bytes& p) { p[12] = std::byte{0x80}; }, "0x80000000"},
        {"container check byte", [](Bytes& p) { p[16 + 6] ^= std::byte{1}; }, "Compression API"},
        {"last byte dropped", [](Bytes& p) { p.pop_back(); }, "Compression API"},
        {"byte appended", [](Bytes& p) { p.push_back(std::byte{0}); }, "Compression API"},
        {"header only", [](Bytes& p) { p.resize(16); }, "Compression API"},
    };
    for (const Case& c : cases) {
        Bytes damaged = good;
        c.damage(damaged);
        WriteFile(dir / "damaged.bin", damaged);
        const auto run = RunPacker({"verify", dir / "damaged.bin"});
        EXPECT_EQ(run.exit_code, 1) << c.what << ": " << run.out;
        EXPECT_EQ(LineCount(run.err), 1u) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(RunPacker({"list", dir / "damaged.bin"}).exit_code, 1) << c.what;
    }
}

TEST(PrintablePath, EscapesWhatATerminalWouldMisshow) {
    EXPECT_EQ(PrintablePath("dir/\xD1\x84.txt"), "dir/\xD1\x84.txt");
    EXPECT_EQ(PrintablePath("a\tb\\c\x7F"), "a\\x09b\\x5cc\\x7f");
    EXPECT_EQ(PrintablePath("bad\xFF\xC3"), "bad\\xff\\xc3");
}

// PE32+ headers and one page of code-like bytes: a program osslsigncode signs.
constexpr std::size_t kProgramPe = 0x40;
constexpr std::size_t kProgramOptional = kProgramPe + 24;
constexpr std::size_t kProgramChecksum = kProgramOptional + 64;
constexpr std::size_t kProgramSecurityEntry = kProgramOptional + 112 + 4 * 8;
constexpr std::size_t kProgramHeaders = 0x200;

void PutLittleEndian(Bytes& image, std::size_t offset, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        image.at(offset + i) = static_cast<std::byte>(value >> (8 * i));
    }
}

Bytes MakeProgramImage() {
    Bytes image(2 * kProgramHeaders, std::byte{0});
    image[0] = std::byte{'M'};
    image[1] = std::byte{'Z'};
    PutLittleEndian(image, 0x3C, kProgramPe, 4);
    PutLittleEndian(image, kProgramPe, 0x00004550, 4);
    PutLittleEndian(image, kProgramPe + 4, 0x8664, 2);
    PutLittleEndian(image, kProgramPe + 20, 240, 2);  // optional header size
    PutLittleEndian(image, kProgramOptional, 0x20B, 2);
    PutLittleEndian(image, kProgramOptional + 32, 0x1000, 4);  // SectionAlignment
    PutLittleEndian(image, kProgramOptional + 36, 0x200, 4);   // FileAlignment
    PutLittleEndian(image, kProgramOptional + 60, kProgramHeaders, 4);
    PutLittleEndian(image, kProgramOptional + 108, 16, 4);  // data directories
    for (std::size_t i = kProgramHeaders; i < image.size(); ++i) {
        image[i] = static_cast<std::byte>(i * 7);
    }
    return image;
}

// `image` signed by osslsigncode with a throw-away key openssl makes.
Bytes SignProgramImage(const Bytes& image) {
    const TempDir dir;
    WriteFile(dir / "unsigned.exe", image);
    const std::string in = "cd '" + dir.path() + "' && ";
    for (const std::string& command :
         {in + KORVANTHELM_OPENSSL +
              " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=signer"
              " -keyout signer.key -out signer.pem >>log 2>&1",
          in + KORVANTHELM_OSSLSIGNCODE +
              " sign -h sha256 -certs signer.pem -key signer.key -in unsigned.exe"
              " -out signed.exe >>log 2>&1"}) {
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("failed: " + command);
        }
    }
    return ReadFile(dir / "signed.exe");
}

Bytes ProgramTable(const std::vector<std::pair<std::string, Bytes>>& records) {
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(records.size()));
    for (const auto& [path, data] : records) {
        const std::span<std::byte> out = builder.AddRecord(B(path), data.size());
        std::copy(data.begin(), data.end(), out.begin());
    }
    return std::move(builder).Finish();
}

// Programs are found by content and count as signed only when their
// signature verifies: --require-signed-tree and the warning rest on this.
TEST(PackPrograms, FoundByContentSignedOnlyWhenTheSignatureVerifies) {
    const std::string setup = "KORVANTHELM/KORVANTHELM.exe";
    const Bytes unsigned_image = MakeProgramImage();
    const Bytes signed_image = SignProgramImage(unsigned_image);
    Bytes tampered = signed_image;
    tampered.at(kProgramHeaders + 100) ^= std::byte{0xFF};  // its code, after signing
    const Bytes mz_only = B("MZ, but no PE headers follow");
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, Bytes>> records;  // in package order
        std::size_t count;
        std::vector<std::string> unsigned_paths;
    };
    const Case cases[] = {
        {"signed", {{setup, signed_image}}, 1, {}},
        {"signed, then one byte of code changed", {{setup, tampered}}, 1, {setup}},
        {"unsigned", {{setup, unsigned_image}}, 1, {setup}},
        {"MZ without PE headers is no program",
         {{"KORVANTHELM/0.exe", mz_only}, {setup, signed_image}},
         1,
         {}},
        {"the set-up program first, the others in package order",
         {{"KORVANTHELM/0.exe", unsigned_image},
          {setup, unsigned_image},
          {"KORVANTHELM/a.dll", tampered},
          {"KORVANTHELM/b.dll", signed_image}},
         4,
         {setup, "KORVANTHELM/0.exe", "KORVANTHELM/a.dll"}},
        // Windows finds the set-up program whatever the letter case of its name.
        {"the set-up program first in other letter case",
         {{"KORVANTHELM/0.exe", unsigned_image}, {"korvanthelm/Korvanthelm.EXE", unsigned_image}},
         2,
         {"korvanthelm/Korvanthelm.EXE", "KORVANTHELM/0.exe"}},
    };
    for (const Case& c : cases) {
        const PackagePrograms programs = FindPackagePrograms(ProgramTable(c.records));
        EXPECT_EQ(programs.count, c.count) << c.what;
        EXPECT_EQ(programs.unsigned_paths, c.unsigned_paths) << c.what;
    }
}

TEST(PackPrograms, DescriptionListsTenPathsThenCountsTheRest) {
    struct Case {
        std::size_t count;
        std::size_t unsigned_count;  // named p0, p1, ...
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "0 PE files, 0 unsigned"},
        {2, 0, "2 PE files, 0 unsigned"},
        {2, 1, "2 PE files, 1 unsigned: p0"},
        {10, 10, "10 PE files, 10 unsigned: p0, p1, p2, p3, p4, p5, p6, p7, p8, p9"},
        {12, 11, "12 PE files, 11 unsigned: p0, p1, p2, p3, p4, p5, p6, p7, p8, p9 and 1 more"},
    };
    for (const Case& c : cases) {
        PackagePrograms programs;
        programs.count = c.count;
        for (std::size_t i = 0; i < c.unsigned_count; ++i) {
            programs.unsigned_paths.push_back("p" + std::to_string(i));
        }
        EXPECT_EQ(DescribePrograms(programs), c.text);
    }
}

// What a signer may change in the executable it is given: the checksum and
// the certificate table's entry, and nothing else but what it appends.
TEST(PackSignerResult, OnlyChecksumAndCertificateEntryMayDiffer) {
    constexpr std::size_t kNone = ~std::size_t{0};
    struct Case {
        const char* what;
        std::size_t changed;  // kNone: no byte of the executable changed
        std::size_t appended;
        bool accepted;
    };
    const Case cases[] = {
        {"a signature appended", kNone, 16, true},
        {"nothing appended", kNone, 0, false},
        {"first byte of the checksum", kProgramChecksum, 16, true},
        {"last byte of the checksum", kProgramChecksum + 3, 16, true},
        {"byte before the checksum", kProgramChecksum - 1, 16, false},
        {"byte after the checksum", kProgramChecksum + 4, 16, false},
        {"first byte of the certificate entry", kProgramSecurityEntry, 16, true},
        {"last byte of the certificate entry", kProgramSecurityEntry + 7, 16, true},
        {"byte before the certificate entry", kProgramSecurityEntry - 1, 16, false},
        {"byte after the certificate entry", kProgramSecurityEntry + 8, 16, false},
        {"first byte of the file", 0, 16, false},
        {"last byte of the executable", 2 * kProgramHeaders - 1, 16, false},
    };
    const Bytes exe = MakeProgramImage();
    for (const Case& c : cases) {
        Bytes result = exe;
        if (c.changed != kNone) {
            result.at(c.changed) ^= std::byte{0x01};
        }
        result.resize(result.size() + c.appended, std::byte{0x5A});
        EXPECT_EQ(IsUnsignedPlusSignature(exe, result), c.accepted) << c.what;
    }
    EXPECT_FALSE(IsUnsignedPlusSignature(exe, Bytes(exe.begin(), exe.end() - 1)))
        << "shorter than the executable";
}

// A package of the given entries, its table stored uncompressed: the bytes
// any writer could hand a player, whatever the packer would refuse.
Bytes CraftedPackage(const std::vector<std::pair<std::string, std::string>>& entries) {
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [path, data] : entries) {
        const std::span<std::byte> out = builder.AddRecord(B(path), data.size());
        const Bytes bytes = B(data);
        std::copy(bytes.begin(), bytes.end(), out.begin());
    }
    const Bytes table = std::move(builder).Finish();
    const Bytes stream = format::WriteContainer(
        table, format::kLzmsChunkSize,
        [](std::span<const std::byte>, std::span<std::byte>) { return std::size_t{0}; });
    return format::WritePackageEnvelope(table.size(), stream);
}

// What the walk accepts but a player's machine refuses, or may refuse, and
// the near misses that must pass without a word.
TEST(PackVerify, RefusesWhatThePlayersDiskRefusesAndWarnsOfLongPaths) {
    const std::string setup(kSetupProgramPath);
    // Target paths below the work directory of a typical TEMP: a file path
    // reaches the limit at 260 units, a folder path at 248 (NUL included).
    const std::size_t file_room = kMaxFilePathUnits - kTypicalWorkDirectoryUnits - 1;
    const std::size_t folder_room = kMaxFolderPathUnits - kTypicalWorkDirectoryUnits - 1;
    static_assert(kTypicalWorkDirectoryUnits == 99);
    const std::string folder_fits(folder_room, 'f');
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        int exit_code;
        const char* err;  // in standard error; "" for none at all
    };
    const Case cases[] = {
        {"Cyrillic names one file on Windows",
         {{setup, "s"}, {"Файл.txt", "1"}, {"файл.txt", "2"}},
         1,
         "entry 3 of 3: entry paths \"Файл.txt\" and \"файл.txt\" differ only in letter case"},
        {"file, then the folder of a later entry",
         {{setup, "s"}, {"a", "1"}, {"a/b", "2"}},
         1,
         "entry 3 of 3: file \"a\" is also the folder of \"a/b\""},
        {"folder of an earlier entry, then a file",
         {{setup, "s"}, {"a/b", "1"}, {"a", "2"}},
         1,
         "entry 3 of 3: file \"a\" is also the folder of \"a/b\""},
        {"file folded into a later entry's folder",
         {{setup, "s"}, {"É", "1"}, {"é/b", "2"}},
         1,
         "file \"É\" and folder \"é\" of \"é/b\" differ only in letter case"},
        {"one folder spelled two ways",
         {{setup, "s"}, {"Docs/a", "1"}, {"docs/b", "2"}},
         1,
         "one folder on Windows"},
        {"no set-up program", {{"KORVANTHELM/other.exe", "s"}}, 1, "holds no set-up program"},
        {"set-up program in other letter case", {{"korvanthelm/korvanthelm.EXE", "s"}}, 0, ""},
        {"only full folding makes ß ss",
         {{setup, "s"}, {"straße.txt", "1"}, {"strasse.txt", "2"}},
         0,
         ""},
        {"a name prefix, not a folder prefix", {{setup, "s"}, {"a", "1"}, {"ab/c", "2"}}, 0, ""},
        {"file path one unit below the limit",
         {{setup, "s"}, {std::string(file_room, 'a'), "1"}},
         0,
         ""},
        {"file path at the limit",
         {{setup, "s"}, {std::string(file_room + 1, 'a'), "1"}, {"b", "2"}},
         0,
         "warning: 1 of 3 entries would pass Windows' classic path limit"},
        {"folder path one unit below the limit", {{setup, "s"}, {folder_fits + "/x", "1"}}, 0, ""},
        {"folder path at the limit",
         {{setup, "s"}, {folder_fits + "f/x", "1"}},
         0,
         "warning: 1 of 2 entries"},
        {"the warning names the longest path",
         {{setup, "s"}, {folder_fits + "f/x", "1"}, {std::string(file_room + 2, 'z'), "2"}},
         0,
         "the longest is \"zzz"},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir / "crafted.bin", CraftedPackage(c.entries));
        const auto run = RunPacker({"verify", dir / "crafted.bin"});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        if (*c.err == '\0') {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
            EXPECT_EQ(LineCount(run.err), 1u) << run.err;
        }
        const auto list = RunPacker({"list", dir / "crafted.bin"});
        EXPECT_EQ(list.exit_code, c.exit_code) << list.err;
    }
}

// The hostile packages the real exe is run on under Wine, judged by verify:
// every one the bootstrapper refuses, verify refuses, for the same reason.
TEST(PackVerify, RefusesEveryHostilePackageOfTheEndToEndTests) {
    const TempDir dir;
    WriteFile(dir / "probe.exe", "a stand-in set-up program");
    const std::string command = std::string(KORVANTHELM_PYTHON) + " " + KORVANTHELM_MAKE_PACKAGES +
                                " --out " + (dir / "packages") + " --probe " + (dir / "probe.exe");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (const ::korvanthelm::test::HostilePackageCase& c :
         ::korvanthelm::test::HostilePackageCases()) {
        if (c.verify_says == nullptr) {
            continue;
        }
        SCOPED_TRACE(c.package);
        const auto run =
            RunPacker({"verify", dir / ("packages/" + std::string(c.package) + ".package")});
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_NE(run.err.find(c.verify_says), std::string::npos) << run.err;
    }
    // Packages the bootstrapper unpacks and then fails on: the set-up program
    // is missing, or the file system meets one name twice.
    for (const auto& [package, says] :
         {std::pair{"ok_no_setup_program", "holds no set-up program"},
          std::pair{"ok_cyrillic_case_pair", "differ only in letter case"}}) {
        const auto run =
            RunPacker({"verify", dir / ("packages/" + std::string(package) + ".package")});
        EXPECT_EQ(run.exit_code, 1) << package;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    EXPECT_EQ(RunPacker({"verify", dir / "packages/ok_probe.package"}).exit_code, 0);
}

// ---- Hostile input and output files --------------------------------------------

// Where a run reads or writes something that is not an ordinary file. Each
// row must end within seconds (a FIFO or /dev/zero used to hang the run), with
// one line naming the cause, the node untouched and no temporary file left.
struct HostileFile {
    const char* name;
    // Makes the node in `dir` and returns the command line; nullopt when this
    // machine cannot make it (a device node needs root).
    std::function<std::optional<std::vector<std::string>>(const TempDir& dir)> make;
    const char* node;     // the path in `dir` (or absolute) that must survive unchanged
    const char* message;  // in the one line on stderr
};

std::vector<std::string> PackTo(const TempDir& dir, std::vector<std::string> extra) {
    AddDefaultLauncherFiles(dir / "tree");
    std::vector<std::string> args = {"pack", dir / "tree"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void MakeNodeFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo " + path);
    }
}

const HostileFile
    kHostileFiles[] =
        {
            {"FifoToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"verify", d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            {"FifoToList",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"list", d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            // The stub is the first thing build reads.
            {"FifoAsStub",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"build",       d / "tree", "-o",
                                                 d / "out.exe", "--stub",   d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            {"FifoAsLauncherExe",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return PackTo(d, {"-o", d / "package.bin", "--launcher-exe", d / "fifo"});
             },
             "fifo", "not a regular file: \""},
            {"DevZeroAsLauncherExe",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 return PackTo(d, {"-o", d / "package.bin", "--launcher-exe", "/dev/zero"});
             },
             "/dev/zero", "not a regular file: \"/dev/zero\""},
            // Sparse: 3 GiB that take no disk, and must not be read either.
            {"Sparse3GiBToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 WriteFile(d / "huge.exe", "MZ");
                 std::filesystem::resize_file(d / "huge.exe", std::uint64_t{3} << 30);
                 return std::vector<std::string>{"verify", d / "huge.exe"};
             },
             "huge.exe", "holds more than"},
            {"FolderToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 std::filesystem::create_directory(d / "folder");
                 return std::vector<std::string>{"verify", d / "folder"};
             },
             "folder", "not a regular file: \""},
            {"FifoAsOutput",
             [](
                 const TempDir& d) -> std::
                                       optional<std::vector<std::string>> {
                                           MakeNodeFifo(d / "fifo");
                                           return PackTo(d, {"-o", d / "fifo"});
                                       },
             "fifo", "exists and is not a regular file"},
            // The same node as /dev/full, made here so the real one is never at risk.
            {
                "DeviceNodeAsOutput",
                [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                    if (::mknod((d / "full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) {
                        return std::nullopt;
                    }
                    return PackTo(d, {"-o", d / "full"});
                },
                "full", "exists and is not a regular file"},
            // A link is replaced by the rename, never written through: refused too.
            {"LinkToDevFullAsOutput",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 if (::symlink("/dev/full", (d / "out.bin").c_str()) != 0) {
                     return std::nullopt;
                 }
                 return PackTo(d, {"-o", d / "out.bin"});
             },
             "out.bin", "exists and is not a regular file"},
            // The second output fails after the first is staged: neither is written.
            {
                "FifoAsDigestsFile",
                [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                    MakeNodeFifo(d / "fifo");
                    return PackTo(d, {"-o", d / "package.bin", "--digests-cmake", d / "fifo"});
                },
                "fifo", "exists and is not a regular file"},
};

void PrintTo(const HostileFile& c, std::ostream* out) {
    *out << c.name;
}

class PackHostileFile : public testing::TestWithParam<HostileFile> {};

TEST_P(PackHostileFile, RefusedAtOnceWithOneLineAndNothingChanged) {
    const HostileFile& c = GetParam();
    const TempDir dir;
    const std::optional<std::vector<std::string>> args = c.make(dir);
    if (!args) {
        GTEST_SKIP() << "this machine cannot make the node (needs root)";
    }
    const std::string node = c.node[0] == '/' ? c.node : dir / c.node;
    struct stat before {};
    ASSERT_EQ(::lstat(node.c_str(), &before), 0);

    const auto started = std::chrono::steady_clock::now();
    const auto run = RunPacker(*args, ".", std::chrono::seconds(60));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(run.timed_out) << "hung";
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;

    struct stat after {};
    ASSERT_EQ(::lstat(node.c_str(), &after), 0) << "the node is gone";
    EXPECT_EQ(after.st_mode, before.st_mode) << "the node was replaced";
    EXPECT_EQ(after.st_ino, before.st_ino) << "the node was replaced";
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_FALSE(std::filesystem::exists(dir / "package.bin"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.exe"));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PackHostileFile, testing::ValuesIn(kHostileFiles),
                         [](const testing::TestParamInfo<HostileFile>& info) {
                             return std::string(info.param.name);
                         });

// The run that `signal_number` stops the moment its first temporary file
// appears in `out`; nullopt when the run ended before the signal landed.
std::optional<test::RunResult> StopWhenStaging(const std::string& tree, const std::string& out,
                                               int signal_number) {
    const UniqueFd watch(::inotify_init1(IN_CLOEXEC));
    if (!watch || ::inotify_add_watch(watch.get(), out.c_str(), IN_CREATE) < 0) {
        throw std::runtime_error("inotify");
    }
    test::PackerRun run({"pack", tree, "-o", out + "/package.bin"});
    alignas(inotify_event) char events[4096];
    for (bool seen = false; !seen;) {
        pollfd ready{watch.get(), POLLIN, 0};
        if (::poll(&ready, 1, /*timeout_ms=*/600'000) != 1) {
            throw std::runtime_error("no temporary file appeared");
        }
        const ssize_t got = ::read(watch.get(), events, sizeof(events));
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            seen = seen || std::string_view(event->name).find(".tmp-") != std::string::npos;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::kill(run.pid(), signal_number);
    test::RunResult result = run.Wait(std::chrono::seconds(120));
    if (result.exit_code == 0) {
        std::filesystem::remove(out + "/package.bin");
        return std::nullopt;
    }
    return result;
}

// A run stopped by SIGTERM, SIGINT or SIGHUP while its output is staged
// removes the temporary file and dies of that same signal, so a build system
// sees how it ended. The signal is sent the moment the temporary file
// appears; 16 MB of random data (stored, so written in full) keep it in
// place while it is written and flushed. A run that won the race is repeated.
TEST(PackSignals, StoppedWhileStagingLeavesNoTemporaryFile) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/data/random.bin", RandomBytes(std::size_t{16} << 20, /*seed=*/11));
    const std::string out = dir / "out";
    std::filesystem::create_directory(out);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        std::optional<test::RunResult> result;
        for (int attempt = 0; attempt < 3 && !result; ++attempt) {
            result = StopWhenStaging(tree, out, signal_number);
        }
        ASSERT_TRUE(result) << strsignal(signal_number) << " never landed while staging";
        EXPECT_EQ(result->signal, signal_number) << strsignal(signal_number) << result->err;
        EXPECT_TRUE(std::filesystem::is_empty(out))
            << strsignal(signal_number) << ": " << std::filesystem::directory_iterator(out)->path();
    }
}

// A forked child that exits runs the atexit handler it inherited; it must
// leave the temporary files of the process that made them alone.
TEST(PackSignals, ForkedChildKeepsItsParentsTemporaryFile) {
    const TempDir dir;
    const auto temporaries = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            found.push_back(entry.path().string());
        }
        return found;
    };
    {
        StagedFile staged(dir / "out.bin", B("staged"));
        ASSERT_EQ(temporaries().size(), 1u);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(temporaries().size(), 1u) << "the child removed its parent's file";
    }
    EXPECT_TRUE(temporaries().empty()) << "not removed without Commit()";
}

// A write that fails after the temporary file exists (the file size limit
// stands in for a full disk) fails the constructor, which must still remove
// the file: no destructor runs for an object whose constructor threw.
TEST(PackSignals, WriteFailureInsideTheConstructorLeavesNothing) {
    const TempDir dir;
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 4096;
    const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of death
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    try {
        StagedFile staged(dir / "out.bin", Bytes(std::size_t{1} << 20));
    } catch (const PackError& e) {
        error = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, previous_handler);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()))
        << std::filesystem::directory_iterator(dir.path())->path();
}

// ---- Command line ---------------------------------------------------------------

TEST(PackCommandLine, HelpAndMistakes) {
    const std::string kHex(64, 'a');
    const std::string kHexUpper(64, 'A');
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* text;  // in stdout for 0, in stderr otherwise
    };
    const Case cases[] = {
        {{"--help"}, 0, "korvanthelm-pack pack TREE -o PACKAGE"},
        {{"pack", "--help"}, 0, "--digests-cmake FILE"},
        {{"list", "--help"}, 0, "RT_RCDATA 101"},
        {{"verify", "--help"}, 0, "Exit status 0 only when everything passes"},
        {{}, 2, "usage:"},
        {{"unpack"}, 2, "unknown command unpack"},
        {{"pack", "tree"}, 2, "needs -o PACKAGE"},
        {{"pack", "-o", "x.bin"}, 2, "exactly one TREE"},
        {{"pack", "a", "b", "-o", "x.bin"}, 2, "exactly one TREE"},
        {{"pack", "tree", "-o"}, 2, "-o needs a file name"},
        {{"pack", "tree", "-o", "x", "--level", "9"}, 2, "unknown option --level"},
        {{"pack", "tree", "-o", "x", "--jobs", "0"}, 2, "--jobs needs a number from 1 to 1024"},
        {{"pack", "tree", "-o", "x", "-j", "2x"}, 2, "-j needs a number from 1 to 1024"},
        {{"pack", "tree", "-o", "x", "--jobs", "1025"}, 2, "--jobs needs a number"},
        {{"pack", "tree", "-o", "x", "--jobs", "-1"}, 2, "--jobs needs a number"},
        {{"pack", "tree", "-o", "x", "--jobs"}, 2, "--jobs needs a number"},
        {{"list"}, 2, "exactly one FILE"},
        {{"verify", "a", "b"}, 2, "exactly one FILE"},
        {{"verify", "/nonexistent/package.bin"}, 1, "/nonexistent/package.bin"},
        {{"pack", "/nonexistent/tree", "-o", "/nonexistent/x"}, 1, "/nonexistent/tree"},
        {{"pack", "tree", "-o", "a", "-o", "b"}, 2, "-o given twice"},
        {{"pack", "tree", "-o", "x", "--stub", "s"}, 2, "unknown option --stub"},
        {{"pack", "tree", "-o", "x", "--package", "p"}, 2, "unknown option --package"},
        // build: what it takes, and each rule among its options.
        {{"build", "--help"}, 0, "--launcher-exe-sha256 HEX"},
        {{"build", "tree"}, 2, "build needs -o EXE"},
        {{"build", "-o", "x"}, 2, "build takes exactly one TREE, or --package PACKAGE"},
        {{"build", "a", "b", "-o", "x"}, 2, "build takes exactly one TREE, or --package"},
        {{"build", "tree", "--package", "p", "-o", "x"}, 2, "exactly one TREE, or --package"},
        {{"build", "tree", "-o"}, 2, "-o needs a value"},
        {{"build", "tree", "-o", ""}, 2, "-o needs a value"},
        {{"build", "tree", "-o", "x", "--stub"}, 2, "--stub needs a value"},
        {{"build", "tree", "-o", "x", "--timestamp-url"}, 2, "--timestamp-url needs a value"},
        {{"build", "--package", "p", "-o", "x"},
         2,
         "--package needs --launcher-exe-sha256 HEX, 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex},
         2,
         "--package needs --launcher-jar-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHexUpper,
          "--launcher-jar-sha256", kHex},
         2,
         "--package needs --launcher-exe-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex + "0"},
         2,
         "--package needs --launcher-jar-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--jobs", "2"},
         2,
         "--launcher-exe and --launcher-jar go with a TREE"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--launcher-exe", "e"},
         2,
         "--launcher-exe and --launcher-jar go with a TREE"},
        {{"build", "tree", "-o", "x", "--no-verify"},
         2,
         "--launcher-*-sha256 and --no-verify go with --package"},
        {{"build", "tree", "-o", "x", "--launcher-jar-sha256", kHex},
         2,
         "--launcher-*-sha256 and --no-verify go with --package"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--package-sha256", kHex},
         2,
         "--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--package-sha256", "abc"},
         2,
         "--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--sign-command", "sign"},
         2,
         "signing and --require-signed-tree need the checked build, not --no-verify"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--require-signed-tree"},
         2,
         "signing and --require-signed-tree need the checked build"},
        {{"build", "tree", "-o", "x", "--sign-key", "k.pem"}, 2, "--sign-key needs --sign-cert"},
        {{"build", "tree", "-o", "x", "--timestamp-url", "http://127.0.0.1:9"},
         2,
         "--timestamp-url needs a signer"},
        {{"build", "tree", "-o", "x", "--sign-command", "s", "--sign-cert", "c.pem"},
         2,
         "--sign-command signs on its own"},
        {{"build", "tree", "-o", "x", "--frobnicate"}, 2, "unknown option --frobnicate"},
        {{"build", "tree", "-o", "x", "--digests-cmake", "d"}, 2, "unknown option --digests-cmake"},
        // Near misses of real options are unknown options, never guesses.
        {{"build", "tree", "--output=x"}, 2, "unknown option --output=x"},
        {{"build", "tree", "-o", "x", "--no-verfy"}, 2, "unknown option --no-verfy"},
        {{"build", "tree", "-o", "x", "--launcher-exe-sha", kHex},
         2,
         "unknown option --launcher-exe-sha"},
        {{"build", "tree", "-o", "x", "--Stub", "s"}, 2, "unknown option --Stub"},
        {{"build", "tree", "-O", "x"}, 2, "unknown option -O"},
        {{"build", "tree", "-o", "a", "--output", "b"}, 2, "--output given twice"},
        {{"build", "tree", "-o", "x", "--stub", "a", "--stub", "b"}, 2, "--stub given twice"},
        {{"build", "tree", "-o", "x", "--no-verify", "--no-verify"}, 2, "--no-verify given twice"},
        {{"pack", "tree", "-o", "x", "-j", "2", "--jobs", "2"}, 2, "--jobs given twice"},
        // The one repeatable option: fallback servers, so a second one is no mistake.
        {{"build", "tree", "-o", "x", "--timestamp-url", "http://a", "--timestamp-url", "http://b"},
         2,
         "--timestamp-url needs a signer"},
        {{"list", "a", "--json-ish"}, 2, "exactly one FILE"},
        // --json, --strict and --digests: which commands take them.
        {{"pack", "--help"}, 0, "--strict"},
        {{"verify", "--help"}, 0, "--json"},
        {{"list", "a", "--json", "--json"}, 2, "--json given twice"},
        {{"verify", "a", "--strict", "--strict"}, 2, "--strict given twice"},
        {{"verify", "--strict"}, 2, "verify takes exactly one FILE"},
        {{"list", "--json", "a", "b"}, 2, "list takes exactly one FILE"},
        {{"list", "a", "-o", "x"}, 2, "unknown option -o"},
        {{"verify", "a", "--digests", "d"}, 2, "unknown option --digests"},
        {{"verify", "/nonexistent/package.bin", "--json"}, 1, "/nonexistent/package.bin"},
        {{"pack", "tree", "-o", "x", "--digests", "d"}, 2, "unknown option --digests"},
        {{"build", "tree", "-o", "x", "--digests", "d"}, 2, "--digests goes with --package"},
        {{"build", "--package", "p", "-o", "x", "--digests"}, 2, "--digests needs a value"},
        {{"build", "--package", "p", "-o", "x", "--digests", "d", "--launcher-exe-sha256", kHex},
         2,
         "--digests gives every digest"},
        {{"build", "--package", "p", "-o", "x", "--digests", "d", "--no-verify", "--package-sha256",
          kHex},
         2,
         "--digests gives every digest"},
        {{"build", "--package", "p", "-o", "x", "--digests", "/nonexistent/d", "--stub",
          "/nonexistent/s"},
         1,
         "/nonexistent/s"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        const auto run = RunPacker(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << joined << run.err;
        EXPECT_NE((c.exit_code == 0 ? run.out : run.err).find(c.text), std::string::npos)
            << joined << "\nstdout: " << run.out << "\nstderr: " << run.err;
    }
}

}  // namespace
}  // namespace korvanthelm::pack
