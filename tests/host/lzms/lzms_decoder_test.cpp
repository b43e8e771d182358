#include "codec/lzms/lzms_decoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "format/compression_container.h"
#include "tests/host/lzms/test_data.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace korvanthelm::lzms {
namespace {

using testing::Bytes;

std::filesystem::path GenuineDir() {
    const char* shared = std::getenv("KORVANTHELM_SHARED_DIR");
    return std::filesystem::path(shared ? shared : "") / "testdata" / "compressapi-lzms";
}

Bytes AsBytes(std::string_view text) {
    Bytes out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

const testing::WimlibLzmsCompressor& Compressor() {
    static const testing::WimlibLzmsCompressor compressor(std::size_t{1} << 22);
    return compressor;
}

const testing::WimlibLzmsDecompressor& Reference() {
    static const testing::WimlibLzmsDecompressor decompressor(kMaxBlockSize);
    return decompressor;
}

// Decodes `block` with ours and with wimlib into `size` bytes and expects the
// same verdict and, on success, the same bytes. wimlib cannot decode blocks
// of fewer than 3 bytes at all (it crashes), so those are not compared.
struct Outcome {
    bool ok;
    Bytes bytes;
};
Outcome DecodeOurs(std::span<const std::byte> block, std::size_t size) {
    Outcome o{false, Bytes(size)};
    o.ok = DecodeBlock(block, o.bytes);
    return o;
}
void ExpectSameAsReference(std::span<const std::byte> block, std::size_t size,
                           const std::string& what) {
    const Outcome ours = DecodeOurs(block, size);
    Bytes theirs(size);
    const bool their_ok = Reference().Decompress(block, theirs);
    ASSERT_EQ(ours.ok, their_ok) << what;
    if (ours.ok)
        ASSERT_TRUE(ours.bytes == theirs) << what;
}

// ---- Golden: buffers made by Windows' own Compress ----------------------

TEST(LzmsGolden, GenuineWindowsBuffersDecodeToTheirRawBytes) {
    int lzms_chunks = 0;
    for (const char* name :
         {"zeros", "sequential", "pattern", "single_byte", "english", "small", "random"}) {
        SCOPED_TRACE(name);
        const auto container = testing::ReadFileBytes(GenuineDir() / (std::string(name) + ".lzms"));
        const auto raw = testing::ReadFileBytes(GenuineDir() / (std::string(name) + ".raw"));
        ASSERT_TRUE(container && raw) << "missing genuine buffer in " << GenuineDir();
        const auto layout = format::ParseContainer(*container);
        ASSERT_TRUE(layout);
        ASSERT_EQ(layout->total_size, raw->size());
        Bytes out(raw->size());
        std::size_t at = 0;
        for (const auto& chunk : layout->chunks) {
            const std::span<std::byte> dest = std::span(out).subspan(at, chunk.uncompressed_size);
            if (chunk.stored) {
                std::copy(chunk.payload.begin(), chunk.payload.end(), dest.begin());
            } else {
                ASSERT_TRUE(DecodeBlock(chunk.payload, dest));
                ++lzms_chunks;
            }
            at += dest.size();
        }
        EXPECT_TRUE(out == *raw);
    }
    EXPECT_EQ(lzms_chunks, 6);  // all but the incompressible one
}

// ---- Differential: wimlib-made blocks ------------------------------------

// Compresses `data` with wimlib, decodes with ours, and expects the input
// back, matching wimlib's own decoding. Returns what the block held.
BlockStatisticsForTesting ExpectRoundTrip(
    const Bytes& data, const testing::WimlibLzmsCompressor& compressor = Compressor()) {
    const Bytes block = compressor.Compress(data);
    BlockStatisticsForTesting stats;
    EXPECT_FALSE(block.empty());
    if (block.empty())
        return stats;
    Bytes out(data.size());
    EXPECT_TRUE(DecodeBlockForTesting(block, out, stats));
    EXPECT_TRUE(out == data) << "first difference at "
                             << (std::mismatch(out.begin(), out.end(), data.begin()).first -
                                 out.begin());
    if (data.size() >= 3) {
        Bytes theirs(data.size());
        EXPECT_TRUE(Reference().Decompress(block, theirs));
        EXPECT_TRUE(theirs == data);
    }
    return stats;
}

std::uint64_t Matches(const BlockStatisticsForTesting& s) {
    std::uint64_t n = s.explicit_lz + s.explicit_delta;
    for (int i = 0; i < 4; ++i)
        n += s.repeat_lz[i] + s.repeat_delta[i];
    return n;
}

TEST(LzmsDifferential, PeCodeGoesThroughTheX86Filter) {
    const auto data = testing::PeCode(1 << 20);
    if (!data)
        GTEST_SKIP() << "no Wine PE DLLs in " << testing::kWinePeDir;
    const auto stats = ExpectRoundTrip(*data);
    // Real x64 code: thousands of CALL/LEA/MOV operands were made absolute.
    EXPECT_GT(stats.x86_operands_restored, 5000u);
}

TEST(LzmsDifferential, ElfLibraries) {
    const auto data = testing::ElfLibraries(1 << 20);
    if (!data)
        GTEST_SKIP() << "no ELF libraries in " << testing::kElfDir;
    ExpectRoundTrip(*data);
}

TEST(LzmsDifferential, Text) {
    const auto data = testing::HeaderText(1 << 20);
    if (!data)
        GTEST_SKIP() << "no C headers in /usr/include";
    ExpectRoundTrip(*data);
    ExpectRoundTrip(Bytes(data->begin(), data->begin() + 4096));
}

TEST(LzmsDifferential, RandomDataIsAllLiterals) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto stats = ExpectRoundTrip(testing::RandomBytes(300'000, seed));
    // Every literal code rebuild (every 1024 literals) goes by.
    EXPECT_GT(stats.literals, 290'000u);
}

TEST(LzmsDifferential, SixteenBitRampsUseDeltaMatchesAndTheirQueue) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto stats = ExpectRoundTrip(testing::SixteenBitRamps(1 << 20, seed));
    EXPECT_GT(stats.explicit_delta, 100u);
    EXPECT_GT(stats.repeat_delta[0] + stats.repeat_delta[1] + stats.repeat_delta[2] +
                  stats.repeat_delta[3],
              100u);
}

// Code and tables side by side: long enough for every code to be rebuilt
// many times, with both queues in use, including the skipped front entry.
TEST(LzmsDifferential, MixedBlockRebuildsEveryCodeAndUsesBothQueues) {
    const auto code = testing::PeCode(1 << 20);
    if (!code)
        GTEST_SKIP() << "no Wine PE DLLs in " << testing::kWinePeDir;
    const Bytes ramps = testing::SixteenBitRamps(1 << 20, 7);
    Bytes data;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t part = std::size_t{1} << 17;
        data.insert(data.end(), code->begin() + i * part, code->begin() + (i + 1) * part);
        data.insert(data.end(), ramps.begin() + i * part, ramps.begin() + (i + 1) * part);
    }
    const auto s = ExpectRoundTrip(data);
    EXPECT_GT(s.literals, 20u * 1024);       // literal code
    EXPECT_GT(s.explicit_lz, 10u * 1024);    // LZ offset code
    EXPECT_GT(Matches(s), 20u * 512);        // length code
    EXPECT_GT(s.explicit_delta, 2u * 1024);  // delta offset and power codes
    for (int position = 0; position < 4; ++position) {
        EXPECT_GT(s.repeat_lz[position], 0u) << "LZ queue position " << position;
        EXPECT_GT(s.repeat_delta[position], 0u) << "delta queue position " << position;
    }
}

TEST(LzmsDifferential, EverySizeFrom4To64) {
    const Bytes text = AsBytes(
        "Wine has no Compression API; this block decodes the same bytes either way. "
        "abcabcabcabc 0123456789");
    for (std::size_t size = 4; size <= 64; ++size) {
        SCOPED_TRACE("size " + std::to_string(size));
        ExpectRoundTrip(Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size)));
        ExpectRoundTrip(Bytes(size, std::byte{0x41}));  // matches from the second byte on
    }
}

// wimlib makes no blocks below 4 bytes, so these are made by hand: all
// literals. The range coder's first decision is a 0 for any small `code`,
// and the initial literal code gives every byte its own value as an 8-bit
// codeword, read from the last 16-bit unit down.
TEST(LzmsDecoder, HandMadeLiteralBlocksOfOneToThreeBytes) {
    struct Case {
        Bytes block;
        std::string_view expected;
    };
    const Case cases[] = {
        {{std::byte{0}, std::byte{0}, std::byte{0x00}, std::byte{0x41}}, "A"},
        {{std::byte{0}, std::byte{0}, std::byte{0x42}, std::byte{0x41}}, "AB"},
        // Backward units: bytes 4-5 (0x4142) first, then bytes 2-3 (0x4300).
        {{std::byte{0}, std::byte{0}, std::byte{0x00}, std::byte{0x43}, std::byte{0x42},
          std::byte{0x41}},
         "ABC"},
    };
    for (const Case& c : cases) {
        const Outcome ours = DecodeOurs(c.block, c.expected.size());
        ASSERT_TRUE(ours.ok) << c.expected;
        EXPECT_TRUE(ours.bytes == AsBytes(c.expected)) << c.expected;
    }
    ExpectSameAsReference(cases[2].block, 3, "ABC");
}

// 64 MiB of mixed data (PE code, ELF libraries, text) as one chunk, the
// largest Windows makes. Slow: wimlib needs ~20 s to compress it.
TEST(LzmsDifferential, FullSizeChunk) {
    const auto pe = testing::PeCode(24 << 20);
    const auto elf = testing::ElfLibraries(20 << 20);
    const auto text = testing::HeaderText(4 << 20);
    if (!pe || !elf || !text)
        GTEST_SKIP() << "test corpus files missing";
    Bytes data = *pe;
    data.insert(data.end(), elf->begin(), elf->end());
    const Bytes ramps = testing::SixteenBitRamps(12 << 20, 3);
    data.insert(data.end(), ramps.begin(), ramps.end());
    while (data.size() < kMaxBlockSize) {
        data.insert(data.end(), text->begin(),
                    text->begin() + static_cast<std::ptrdiff_t>(
                                        std::min(text->size(), kMaxBlockSize - data.size())));
    }
    const testing::WimlibLzmsCompressor big(kMaxBlockSize);
    const auto stats = ExpectRoundTrip(data, big);
    EXPECT_GT(stats.x86_operands_restored, 10000u);
}

// ---- Robustness: damaged blocks ------------------------------------------

// The decoder must give a clean verdict on anything, and agree with wimlib.
// Decoding goes into the middle of a larger buffer whose guard bytes must
// survive: a write past either end would be invisible to ASan otherwise.
void ExpectCleanVerdict(std::span<const std::byte> block, std::size_t size,
                        const std::string& what) {
    constexpr std::size_t kGuard = 64;
    Bytes buffer(size + 2 * kGuard, std::byte{0xA5});
    const bool ok = DecodeBlock(block, std::span(buffer).subspan(kGuard, size));
    for (std::size_t i = 0; i < kGuard; ++i) {
        ASSERT_EQ(buffer[i], std::byte{0xA5}) << what << ": wrote before the output";
        ASSERT_EQ(buffer[kGuard + size + i], std::byte{0xA5}) << what << ": wrote after the output";
    }
    if (size >= 3) {
        Bytes theirs(size);
        const bool their_ok = Reference().Decompress(block, theirs);
        ASSERT_EQ(ok, their_ok) << what;
        if (ok) {
            ASSERT_TRUE(std::equal(theirs.begin(), theirs.end(), buffer.begin() + kGuard)) << what;
        }
    }
}

TEST(LzmsRobustness, RejectsImpossibleSizes) {
    const Bytes block = Compressor().Compress(AsBytes("a small block of text, a small block"));
    Bytes out(36);
    EXPECT_TRUE(DecodeBlock(block, out));
    EXPECT_FALSE(DecodeBlock(std::span(block).first(block.size() - 1), out)) << "odd input size";
    for (std::size_t size : {0u, 1u, 2u, 3u}) {
        EXPECT_FALSE(DecodeBlock(std::span(block).first(size), out))
            << "input of " << size << " bytes";
    }
    EXPECT_FALSE(DecodeBlock(block, std::span(out).first(0))) << "empty output";
    Bytes huge(kMaxBlockSize + 1);
    EXPECT_FALSE(DecodeBlock(block, huge)) << "output above 64 MiB";
}

TEST(LzmsRobustness, TruncatedBlocksAndWrongSizes) {
    const auto text = testing::HeaderText(64 << 10);
    if (!text)
        GTEST_SKIP() << "no C headers in /usr/include";
    const Bytes block = Compressor().Compress(*text);
    for (std::size_t cut = 4; cut < block.size(); cut += (cut < 512 ? 2 : 1022)) {
        ExpectCleanVerdict(std::span(block).first(cut), text->size(),
                           "cut to " + std::to_string(cut));
    }
    // The exact size is part of the format: the offset codes depend on it.
    for (std::size_t size :
         {text->size() - 1, text->size() + 1, text->size() / 2, std::size_t{100}}) {
        ExpectCleanVerdict(block, size, "decoded to " + std::to_string(size) + " bytes");
    }
}

TEST(LzmsRobustness, EveryBitFlipOfSmallBlocks) {
    const auto english = testing::ReadFileBytes(GenuineDir() / "english.lzms");
    ASSERT_TRUE(english);
    const auto layout = format::ParseContainer(*english);
    ASSERT_TRUE(layout && layout->chunks.size() == 1);
    const auto code = testing::PeCode(6000);
    struct Subject {
        std::string name;
        Bytes block;
        std::size_t size;
    };
    std::vector<Subject> subjects = {
        {"english", Bytes(layout->chunks[0].payload.begin(), layout->chunks[0].payload.end()),
         1600},
        {"ramps", Compressor().Compress(testing::SixteenBitRamps(3000, 5)), 3000},
    };
    if (code)
        subjects.push_back({"pe", Compressor().Compress(*code), code->size()});
    for (Subject& s : subjects) {
        for (std::size_t bit = 0; bit < s.block.size() * 8; ++bit) {
            s.block[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
            ExpectCleanVerdict(s.block, s.size, s.name + " bit " + std::to_string(bit));
            s.block[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
        }
    }
}

TEST(LzmsRobustness, RandomMutations) {
    const std::uint64_t seed = std::random_device{}();
    std::printf("LzmsRobustness.RandomMutations seed %llu\n",
                static_cast<unsigned long long>(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto code = testing::PeCode(40000);
    const Bytes data = code ? *code : testing::SixteenBitRamps(40000, seed);
    const Bytes original = Compressor().Compress(data);
    for (int round = 0; round < 1500; ++round) {
        Bytes block = original;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % block.size();
            switch (rng() % 3) {
                case 0:
                    block[at] = static_cast<std::byte>(rng());
                    break;
                case 1:
                    block[at] ^= std::byte{static_cast<unsigned char>(1u << (rng() % 8))};
                    break;
                default:
                    std::swap(block[at], block[rng() % block.size()]);
                    break;
            }
        }
        // Sometimes also a wrong size, or the block cut short.
        std::size_t size = data.size();
        if (rng() % 8 == 0)
            size = 3 + rng() % (2 * data.size());
        if (rng() % 8 == 0)
            block.resize(std::max<std::size_t>(4, (rng() % block.size()) & ~std::size_t{1}));
        ExpectCleanVerdict(block, size, "round " + std::to_string(round));
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

}  // namespace
}  // namespace korvanthelm::lzms
