// The package a tree becomes: read back byte for byte, the same for every
// number of jobs, compressed or stored chunk by chunk, with honest progress.
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "tests/host/pack/pack_test_common.h"
#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/compress/lzms_codec.h"

#include "codec/lzms/lzms_encoder.h"
#include "codec/lzms/match_finder.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace {

// Set by PackRoundTrip.WrongCompressedBytesAreNeverHandedOn alone.
std::atomic<bool> damage_blocks{false};

// Set by PackParallel.EveryJobCountGivesTheSerialBytes alone: every block
// fills all the room it is given, and each call's chunk and room sizes are
// kept in block_calls.
std::atomic<bool> fill_every_room{false};
std::mutex block_calls_mutex;
std::vector<std::pair<std::size_t, std::size_t>> block_calls;

}  // namespace

// An encoder that gives wrong bytes on request: this test program is linked
// with lzms::EncodeBlock wrapped (-Wl,--wrap, see CMakeLists.txt), so every
// call of it, the packer's included, comes here. While damage_blocks is set,
// every block comes back with one bit changed; while fill_every_room is set,
// every block is as large as the room given; otherwise the encoder's own
// answer passes through unchanged.
#define KORVANTHELM_ENCODE_BLOCK                                                         \
    "_ZN11korvanthelm4lzms11EncodeBlockESt4spanIKSt4byteLm18446744073709551615EES1_IS2_" \
    "Lm18446744073709551615EEj"
std::size_t RealEncodeBlock(std::span<const std::byte> chunk, std::span<std::byte> out,
                            unsigned threads) asm("__real_" KORVANTHELM_ENCODE_BLOCK);
std::size_t WrappedEncodeBlock(std::span<const std::byte> chunk, std::span<std::byte> out,
                               unsigned threads) asm("__wrap_" KORVANTHELM_ENCODE_BLOCK);
std::size_t WrappedEncodeBlock(std::span<const std::byte> chunk, std::span<std::byte> out,
                               unsigned threads) {
    if (fill_every_room) {
        const std::lock_guard lock(block_calls_mutex);
        block_calls.emplace_back(chunk.size(), out.size());
        std::fill(out.begin(), out.end(), std::byte{0xA5});
        return out.size();
    }
    const std::size_t size = RealEncodeBlock(chunk, out, threads);
    if (damage_blocks && size > 0) {
        out[size / 2] ^= std::byte{0x10};
    }
    return size;
}
#undef KORVANTHELM_ENCODE_BLOCK

namespace korvanthelm::pack {
namespace {

TEST(PackRoundTrip, PackageHoldsExactlyTheTreeInByteOrder) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe",
              test::MinimalPeFile("set-up program") + S(RandomBytes(5000, 1)));
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

// The package is read back before it is handed on as standing for its table:
// with a compressor that gives wrong bytes no package comes out of a tree,
// for pack or build (both pack through PackTreeInMemory). The read-back says
// "LZMS chunk N of M does not decode" or "package does not decode to its
// table", as the damage falls.
TEST(PackRoundTrip, WrongCompressedBytesAreNeverHandedOn) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/data.txt", test::WordSalad(1 << 20, 3));
    PackOptions options;
    options.tree = tree;
    options.jobs = 1;
    const WarnFunction ignore = [](const PackWarning&) {};
    ASSERT_NO_THROW(PackTreeInMemory(options, ignore)) << "with the encoder's own blocks";
    struct Damage {
        Damage() { damage_blocks = true; }
        ~Damage() { damage_blocks = false; }
        Damage(const Damage&) = delete;
        Damage& operator=(const Damage&) = delete;
    };
    const Damage damage;
    try {
        const PackedTree packed = PackTreeInMemory(options, ignore);
        ADD_FAILURE() << "a package of " << packed.package.size() << " bytes was handed on";
    } catch (const PackError& error) {
        EXPECT_NE(std::string(error.what()).find("does not decode"), std::string::npos)
            << error.what();
    }
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

    // A block as large as its chunk would read back as the chunk stored, so
    // the encoder gets one byte less than the chunk, and a chunk of one byte
    // is never given to it: with an encoder that fills all the room it is
    // given, every chunk but the last is a block of kChunk - 1 bytes.
    struct FillEveryRoom {
        FillEveryRoom() { fill_every_room = true; }
        ~FillEveryRoom() {
            fill_every_room = false;
            block_calls.clear();
        }
        FillEveryRoom(const FillEveryRoom&) = delete;
        FillEveryRoom& operator=(const FillEveryRoom&) = delete;
    };
    const FillEveryRoom fill;
    const Bytes filled_serial = SerialContainer(table, kChunk);
    for (const unsigned jobs : {1u, 3u, 40u}) {
        SCOPED_TRACE("every room filled, jobs " + std::to_string(jobs));
        block_calls.clear();
        const Bytes stream = CompressPackageTable(table, {.jobs = jobs, .chunk_size = kChunk});
        EXPECT_TRUE(stream == filled_serial) << "the container writer's rule";
        const std::vector<std::pair<std::size_t, std::size_t>> expected(chunks - 1,
                                                                        {kChunk, kChunk - 1});
        EXPECT_EQ(block_calls, expected) << "(chunk, room) of every call";
        const auto layout = format::ParseContainer(stream);
        ASSERT_TRUE(layout);
        ASSERT_EQ(layout->chunks.size(), chunks);
        for (std::size_t i = 0; i + 1 < chunks; ++i) {
            EXPECT_FALSE(layout->chunks[i].stored) << i;
            EXPECT_EQ(layout->chunks[i].payload.size(), kChunk - 1) << i;
        }
        EXPECT_TRUE(layout->chunks.back().stored);
    }
}

// Every LZMS block of a container decodes with wimlib's decompressor, an
// implementation written apart from ours, to its chunk.
void ExpectWimlibDecodes(std::span<const std::byte> stream, std::span<const std::byte> table) {
    const auto layout = format::ParseContainer(stream);
    ASSERT_TRUE(layout);
    const testing::WimlibLzmsDecompressor wimlib(static_cast<std::size_t>(layout->chunk_size));
    std::uint64_t offset = 0;
    for (const format::ContainerChunk& chunk : layout->chunks) {
        const auto size = static_cast<std::size_t>(chunk.uncompressed_size);
        if (!chunk.stored) {
            Bytes out(size);
            EXPECT_TRUE(wimlib.Decompress(chunk.payload, out) &&
                        std::equal(out.begin(), out.end(),
                                   table.begin() + static_cast<std::ptrdiff_t>(offset)))
                << "chunk at " << offset;
        }
        offset += size;
    }
}

// Jobs beyond the number of chunks go to the encoder of each chunk (its
// match finding runs ahead of the parse on a thread of its own): the bytes
// stay those of one job. Chunks of more than two of the pipeline's batches
// (2^16 positions), text and x86-like code, so the shared work really is shared.
TEST(PackParallel, SpareJobsWorkInsideAChunkAndChangeNoByte) {
    constexpr std::size_t kChunk = 0x24000;
    Bytes table = B(test::WordSalad(kChunk, 7));
    for (std::size_t i = 0; table.size() < 2 * kChunk + 1000; ++i) {
        // Calls and jumps with near targets, as in compiled code.
        const std::uint8_t op[] = {
            0xE8, static_cast<std::uint8_t>(i * 37), 0x01, 0x00, 0x00, 0x48, 0x89, 0xC7,
            0xE9, static_cast<std::uint8_t>(i * 11), 0xFF, 0xFF, 0xFF};
        for (const std::uint8_t b : op) {
            table.push_back(std::byte{b});
        }
    }
    for (const std::size_t chunk : {table.size(), kChunk}) {
        const std::size_t chunks = (table.size() + chunk - 1) / chunk;
        const Bytes one = CompressPackageTable(table, {.jobs = 1, .chunk_size = chunk});
        SCOPED_TRACE(std::to_string(chunks) + " chunk(s)");
        EXPECT_TRUE(one == SerialContainer(table, chunk));
        ExpectWimlibDecodes(one, table);
        EXPECT_TRUE(UnpackPackage(format::WritePackageEnvelope(table.size(), one)) == table);
        for (const unsigned jobs : {2u, 7u}) {
            SCOPED_TRACE("jobs " + std::to_string(jobs));
            EXPECT_TRUE(CompressPackageTable(table, {.jobs = jobs, .chunk_size = chunk}) == one);
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
    // A 64 MiB chunk: the encoder's own figure (its copy of the chunk, its
    // trees of 8 bytes per position up to 16 MiB back, its tables) plus the
    // block buffer; at most half of what wimlib's compressor needs at its
    // default level for the same chunk (577 MiB); a small table gets an
    // encoder of its own size.
    EXPECT_GT(per_job, 64 * kMiB + 128 * kMiB + 64 * kMiB);
    EXPECT_LE(LzmsCompressor::NeededMemory(64 * kMiB), 577 * kMiB / 2);
    EXPECT_LT(CompressionMemoryPerJob(1 << 20), per_job / 16);
    EXPECT_GT(LzmsCompressor::NeededMemory(64 * kMiB, 2), LzmsCompressor::NeededMemory(64 * kMiB))
        << "the pipeline's batches of matches";
    EXPECT_EQ(LzmsCompressor::NeededMemory(64 * kMiB + 1), 0u) << "over the format's limit";
    // 64 MiB is the format's largest chunk, and the one Windows packs with.
    for (const std::size_t size : {std::size_t{1}, 64 * kMiB}) {
        EXPECT_NO_THROW(LzmsCompressor{size}) << size;
        EXPECT_NO_THROW(LzmsDecompressor{size}) << size;
    }
    for (const std::size_t size : {std::size_t{0}, 64 * kMiB + 1}) {
        EXPECT_THROW(LzmsCompressor{size}, PackError) << size;
        EXPECT_THROW(LzmsDecompressor{size}, PackError) << size;
    }
    // The figure covers what the match finder really allocates, at and
    // beside the sizes where its window and tables change.
    for (const std::size_t size :
         {std::size_t{4}, std::size_t{65536}, std::size_t{65537}, std::size_t{1} << 20,
          (std::size_t{1} << 22) + 1, std::size_t{16} << 20, (std::size_t{16} << 20) + 1}) {
        std::vector<std::uint8_t> data(size);
        const lzms::MatchFinder finder(data, {});
        EXPECT_GE(lzms::EncoderNeededMemory(size), size + finder.MemoryBytes()) << size;
        EXPECT_LE(lzms::EncoderNeededMemory(size), size + finder.MemoryBytes() + 4 * kMiB)
            << size << ": the figure is not far above what is used";
    }

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

}  // namespace
}  // namespace korvanthelm::pack
