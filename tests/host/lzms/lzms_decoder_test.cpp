#include "codec/lzms/lzms_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "tests/host/lzms/genuine_buffers.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace korvanthelm::lzms {
namespace {

using testing::Bytes;

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

TEST(LzmsGolden, GenuineWindowsBuffersDecodeToTheirRawBytes) {
    for (const std::string name : testing::kGenuineNames) {
        const auto container = testing::ReadGenuine(name + ".lzms");
        const auto raw = testing::ReadGenuine(name + ".raw");
        ASSERT_TRUE(container && raw) << "missing genuine buffer " << name;
        EXPECT_EQ(testing::UnpackContainer(*container), raw) << name;
    }
}

// ---- Differential: wimlib-made blocks ------------------------------------

// Compresses `data` with wimlib, decodes with ours, and expects the input
// back, as wimlib's own decoder gives it. Returns what the block held.
BlockStatisticsForTesting ExpectRoundTrip(
    const Bytes& data, const testing::WimlibLzmsCompressor& compressor = Compressor()) {
    const Bytes block = compressor.Compress(data);
    BlockStatisticsForTesting stats;
    EXPECT_FALSE(block.empty());
    Bytes out(data.size());
    EXPECT_TRUE(DecodeBlockForTesting(block, out, stats));
    EXPECT_TRUE(out == data) << "first difference at "
                             << (std::mismatch(out.begin(), out.end(), data.begin()).first -
                                 out.begin());
    Bytes theirs(data.size());
    EXPECT_TRUE(Reference().Decompress(block, theirs) && theirs == data);
    return stats;
}

TEST(LzmsDifferential, PeCodeGoesThroughTheX86Filter) {
    const auto data = testing::PeCode(1 << 20);
    if (!data)
        GTEST_SKIP() << "no Wine PE DLLs in " << testing::kWinePeDir;
    // Real x64 code: thousands of CALL/LEA/MOV operands were made absolute.
    EXPECT_GT(ExpectRoundTrip(*data).x86_operands_restored, 5000u);
}

TEST(LzmsDifferential, LibrariesTextRandomAndSmallSizes) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::pair<const char*, std::optional<Bytes>> corpora[] = {
        {"ELF libraries", testing::ElfLibraries(1 << 20)},
        {"C headers", testing::HeaderText(1 << 20)},
        {"4 KiB of C headers", testing::HeaderText(4096)},
        {"random",
         testing::RandomBytes(300'000, seed)},  // all literals, ~290 literal code rebuilds
    };
    for (const auto& [name, data] : corpora) {
        SCOPED_TRACE(name);
        if (data) {
            ExpectRoundTrip(*data);
        } else {
            std::printf("skipped %s: files missing\n", name);
        }
    }
    const Bytes text =
        AsBytes("Wine has no Compression API, so ours decodes these blocks. abcabcabc 0123456");
    ASSERT_GE(text.size(), 64u);
    for (std::size_t size = 4; size <= 64; ++size) {
        SCOPED_TRACE("size " + std::to_string(size));
        ExpectRoundTrip(Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size)));
        ExpectRoundTrip(Bytes(size, std::byte{0x41}));  // matches from the second byte on
    }
}

TEST(LzmsDifferential, SixteenBitRampsUseDeltaMatchesAndTheirQueue) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto s = ExpectRoundTrip(testing::SixteenBitRamps(1 << 20, seed));
    EXPECT_GT(s.explicit_delta, 100u);
    EXPECT_GT(s.repeat_delta[0] + s.repeat_delta[1] + s.repeat_delta[2] + s.repeat_delta[3], 100u);
}

// Code and tables side by side: long enough for every code to be rebuilt
// many times, with both queues in use, including the skipped front entry.
TEST(LzmsDifferential, MixedBlockRebuildsEveryCodeAndUsesBothQueues) {
    const auto code = testing::PeCode(1 << 20);
    if (!code)
        GTEST_SKIP() << "no Wine PE DLLs in " << testing::kWinePeDir;
    const Bytes ramps = testing::SixteenBitRamps(1 << 20, 7);
    Bytes data;
    const std::ptrdiff_t part = 1 << 17;
    for (std::ptrdiff_t i = 0; i < 8; ++i) {
        data.insert(data.end(), code->begin() + i * part, code->begin() + (i + 1) * part);
        data.insert(data.end(), ramps.begin() + i * part, ramps.begin() + (i + 1) * part);
    }
    const auto s = ExpectRoundTrip(data);
    std::uint64_t matches = s.explicit_lz + s.explicit_delta;
    for (int i = 0; i < 4; ++i)
        matches += s.repeat_lz[i] + s.repeat_delta[i];
    EXPECT_GT(s.literals, 20u * 1024);       // literal code: rebuilt every 1024
    EXPECT_GT(s.explicit_lz, 10u * 1024);    // LZ offset code: every 1024
    EXPECT_GT(matches, 20u * 512);           // length code: every 512
    EXPECT_GT(s.explicit_delta, 2u * 1024);  // delta offset (1024) and power (512) codes
    for (int position = 0; position < 4; ++position) {
        EXPECT_GT(s.repeat_lz[position], 0u) << "LZ queue position " << position;
        EXPECT_GT(s.repeat_delta[position], 0u) << "delta queue position " << position;
    }
}

// wimlib makes no blocks below 4 bytes (and crashes decoding 1 or 2), so
// these are made by hand: all literals. A small `code` makes the first
// decisions 0 (literal), and the initial literal code gives every byte its
// own value as an 8-bit codeword, read from the last 16-bit unit down.
TEST(LzmsDecoder, HandMadeLiteralBlocksOfOneToThreeBytes) {
    const std::pair<Bytes, std::string_view> cases[] = {
        {{std::byte{0}, std::byte{0}, std::byte{0x00}, std::byte{0x41}}, "A"},
        {{std::byte{0}, std::byte{0}, std::byte{0x42}, std::byte{0x41}}, "AB"},
        // Backward units: bytes 4-5 (0x4142) first, then bytes 2-3 (0x4300).
        {{std::byte{0}, std::byte{0}, std::byte{0x00}, std::byte{0x43}, std::byte{0x42},
          std::byte{0x41}},
         "ABC"},
    };
    for (const auto& [block, expected] : cases) {
        Bytes out(expected.size());
        EXPECT_TRUE(DecodeBlock(block, out) && out == AsBytes(expected)) << expected;
    }
    Bytes theirs(3);
    EXPECT_TRUE(Reference().Decompress(cases[2].first, theirs) && theirs == AsBytes("ABC"));
}

// 64 MiB of mixed data as one chunk, the largest Windows makes. Slow: wimlib
// needs ~20-40 s to compress it.
TEST(LzmsDifferential, FullSizeChunk) {
    const auto pe = testing::PeCode(24 << 20);
    const auto elf = testing::ElfLibraries(20 << 20);
    const auto text = testing::HeaderText(8 << 20);
    if (!pe || !elf || !text)
        GTEST_SKIP() << "test corpus files missing";
    Bytes data = *pe;
    for (const Bytes& part :
         {*elf, *text, testing::SixteenBitRamps(kMaxBlockSize - (52 << 20), 3)}) {
        data.insert(data.end(), part.begin(), part.end());
    }
    ASSERT_EQ(data.size(), kMaxBlockSize);
    const testing::WimlibLzmsCompressor big(kMaxBlockSize);
    EXPECT_GT(ExpectRoundTrip(data, big).x86_operands_restored, 10000u);
}

// ---- Robustness: damaged blocks ------------------------------------------

// Any input must give a clean verdict that agrees with wimlib's. Decoding
// goes into the middle of a larger buffer whose guard bytes must survive: a
// write just past either end would be invisible to ASan.
void ExpectCleanVerdict(std::span<const std::byte> block, std::size_t size,
                        const std::string& what) {
    constexpr std::size_t kGuard = 64;
    Bytes buffer(size + 2 * kGuard, std::byte{0xA5});
    const bool ok = DecodeBlock(block, std::span(buffer).subspan(kGuard, size));
    const Bytes guard(kGuard, std::byte{0xA5});
    ASSERT_TRUE(std::equal(guard.begin(), guard.end(), buffer.begin()))
        << what << ": wrote before the output";
    ASSERT_TRUE(std::equal(guard.begin(), guard.end(), buffer.end() - kGuard))
        << what << ": wrote after it";
    Bytes theirs(size);
    ASSERT_EQ(ok, Reference().Decompress(block, theirs)) << what;
    if (ok) {
        ASSERT_TRUE(std::equal(theirs.begin(), theirs.end(), buffer.begin() + kGuard)) << what;
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
    const auto english = testing::ReadGenuine("english.lzms");
    ASSERT_TRUE(english);
    const auto code = testing::PeCode(4000);
    std::vector<std::pair<Bytes, std::size_t>> subjects = {
        {Bytes(english->begin() + 28, english->end()),
         1600},  // the genuine block after its framing
        {Compressor().Compress(testing::SixteenBitRamps(3000, 5)), 3000},
    };
    if (code)
        subjects.emplace_back(Compressor().Compress(*code), code->size());
    for (auto& [block, size] : subjects) {
        for (std::size_t bit = 0; bit < block.size() * 8; ++bit) {
            const auto mask = std::byte{static_cast<unsigned char>(1u << (bit % 8))};
            block[bit / 8] ^= mask;
            ExpectCleanVerdict(block, size,
                               std::to_string(size) + "-byte block, bit " + std::to_string(bit));
            block[bit / 8] ^= mask;
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
    for (int round = 0; round < 1500 && !HasFatalFailure(); ++round) {
        Bytes block = original;
        for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0; --edits) {
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
    }
}

}  // namespace
}  // namespace korvanthelm::lzms
