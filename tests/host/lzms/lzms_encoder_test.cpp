#include "codec/lzms/lzms_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "codec/lzms/lzms_decoder.h"
#include "tests/host/lzms/test_data.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace korvanthelm::lzms {
namespace {

using testing::Bytes;
using Stats = BlockStatisticsForTesting;

const testing::WimlibLzmsDecompressor& Reference() {
    static const testing::WimlibLzmsDecompressor decompressor(kMaxBlockSize);
    return decompressor;
}

std::uint64_t RepeatLz(const Stats& s) {
    return s.repeat_lz[0] + s.repeat_lz[1] + s.repeat_lz[2] + s.repeat_lz[3];
}
std::uint64_t RepeatDelta(const Stats& s) {
    return s.repeat_delta[0] + s.repeat_delta[1] + s.repeat_delta[2] + s.repeat_delta[3];
}
std::uint64_t Matches(const Stats& s) {
    return s.explicit_lz + RepeatLz(s) + s.explicit_delta + RepeatDelta(s);
}

// Encodes `data` with room to spare, decodes the block with our decoder and
// with wimlib's (written apart from ours), and expects the input back from
// both. Returns the block.
Bytes ExpectRoundTrip(const Bytes& data, Stats& stats) {
    Bytes block(data.size() + data.size() / 8 + 64);
    const std::size_t size = EncodeBlock(data, block);
    EXPECT_NE(size, 0u);
    EXPECT_EQ(size % 2, 0u);
    block.resize(size);
    Bytes ours(data.size());
    EXPECT_TRUE(DecodeBlockForTesting(block, ours, stats)) << "our decoder refused the block";
    EXPECT_TRUE(ours == data) << "our decoder: first difference at "
                              << (std::mismatch(ours.begin(), ours.end(), data.begin()).first -
                                  ours.begin());
    if (data.size() >= 3) {  // wimlib's decoder crashes on smaller outputs
        Bytes theirs(data.size());
        EXPECT_TRUE(Reference().Decompress(block, theirs)) << "wimlib refused the block";
        EXPECT_TRUE(theirs == data)
            << "wimlib's decoder: first difference at "
            << (std::mismatch(theirs.begin(), theirs.end(), data.begin()).first - theirs.begin());
    }
    return block;
}

Bytes AsBytes(std::string_view text) {
    Bytes out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::byte>(v >> (8 * i));
}

// Zeros (no opcode) with CALLs at 16 and 40 to one target: neither is
// translated, but from the second one's last operand byte (44) on, the
// filter translates a CALL up to 511 bytes later and a RIP-relative operand
// up to 1023. Then one instruction at `at`: `opcode` bytes and an operand
// whose target is new, translated or not.
Bytes X86Window(std::size_t size, std::size_t at, std::initializer_list<std::uint8_t> opcode) {
    Bytes b(size);
    b[16] = std::byte{0xE8};
    PutLe32(b, 17, 0x1000);
    b[40] = std::byte{0xE8};
    PutLe32(b, 41, 0x1000 - 24);  // 40 + operand == 16 + 0x1000
    std::size_t i = at;
    for (const std::uint8_t o : opcode)
        b[i++] = std::byte{o};
    PutLe32(b, i, 0x7345);
    return b;
}

struct Case {
    const char* name;
    std::function<std::optional<Bytes>()> make;
    std::function<void(const Stats&, std::size_t block_size)> expect;
};

void Nothing(const Stats&, std::size_t) {}

TEST(LzmsEncoder, RoundTripsThroughBothDecoders) {
    const std::uint64_t seed = std::random_device{}();
    std::printf("LzmsEncoder.RoundTripsThroughBothDecoders seed %llu\n",
                static_cast<unsigned long long>(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    constexpr std::size_t k64MiB = kMaxBlockSize;
    const Case cases[] = {
        {"4 bytes", [] { return AsBytes("abcd"); }, Nothing},
        {"10 bytes", [] { return AsBytes("abcabcabca"); }, Nothing},
        {"11 zero bytes", [] { return Bytes(11); }, Nothing},
        {"64 KiB of C headers", [] { return testing::HeaderText(64 << 10); },
         [](const Stats& s, std::size_t block) {
             EXPECT_LT(block, std::size_t{24} << 10);
             EXPECT_GT(s.explicit_lz, 1000u);
             EXPECT_GT(RepeatLz(s), 100u);
         }},
        // Copies of one record with a byte patched every 32: a match broken
        // by one literal, then the same offset again (queue position 0),
        // over and over.
        {"records patched every 32 bytes",
         [&] {
             const Bytes record = testing::RandomBytes(1024, seed);
             const Bytes noise = testing::RandomBytes(256 * 32, seed + 1);
             Bytes data = record;
             for (std::size_t copy = 0; copy < 256; ++copy) {
                 Bytes patched = record;
                 for (std::size_t i = 0; i < 32; ++i) {
                     const auto change = std::to_integer<unsigned>(noise[copy * 32 + i]) | 1u;
                     patched[i * 32 + 31] ^= static_cast<std::byte>(change);
                 }
                 data.insert(data.end(), patched.begin(), patched.end());
             }
             return data;
         },
         [](const Stats& s, std::size_t block) {
             EXPECT_GT(s.repeat_lz[0], 256u * 28);
             EXPECT_LT(s.literals, 1024u + 256 * 33);
             EXPECT_LT(block, std::size_t{24} << 10);
         }},
        {"1 MiB of zeros", [] { return Bytes(1 << 20); },
         [](const Stats&, std::size_t block) { EXPECT_LT(block, 64u); }},
        {"random", [&] { return testing::RandomBytes(300'000, seed); },
         [](const Stats& s, std::size_t) {
             EXPECT_GT(s.literals, 290'000u);  // ~290 literal code rebuilds
         }},
        // Every code crosses its rebuild point many times, and the rarer
        // repeat positions are used.
        {"PE code and 16-bit ramps",
         [&]() -> std::optional<Bytes> {
             auto code = testing::PeCode(1 << 20);
             if (!code)
                 return std::nullopt;
             const Bytes ramps = testing::SixteenBitRamps(1 << 20, seed);
             Bytes data;
             const std::ptrdiff_t part = 1 << 17;
             for (std::ptrdiff_t i = 0; i < 8; ++i) {
                 data.insert(data.end(), code->begin() + i * part, code->begin() + (i + 1) * part);
                 data.insert(data.end(), ramps.begin() + i * part, ramps.begin() + (i + 1) * part);
             }
             return data;
         },
         [](const Stats& s, std::size_t) {
             EXPECT_GT(s.literals, 20u * 1024);       // literal code: rebuilt every 1024
             EXPECT_GT(s.explicit_lz, 10u * 1024);    // LZ offset code: every 1024
             EXPECT_GT(Matches(s), 20u * 512);        // length code: every 512
             EXPECT_GT(s.explicit_delta, 2u * 1024);  // delta offset (1024), power (512)
             EXPECT_GT(s.x86_operands_restored, 5000u);
             for (int position = 0; position < 3; ++position) {
                 EXPECT_GT(s.repeat_lz[position], 0u) << "LZ queue position " << position;
                 EXPECT_GT(s.repeat_delta[position], 0u) << "delta queue position " << position;
             }
         }},
        {"16-bit ramps", [&] { return testing::SixteenBitRamps(1 << 20, seed); },
         [](const Stats& s, std::size_t block) {
             EXPECT_GT(s.explicit_delta, 100u);
             EXPECT_GT(RepeatDelta(s), 100u);
             EXPECT_LT(block, std::size_t{1} << 18);
         }},
        {"32-bit ramps", [&] { return testing::ThirtyTwoBitRamps(1 << 20, seed); },
         [](const Stats& s, std::size_t block) {
             EXPECT_GT(s.explicit_delta, 100u);
             EXPECT_GT(RepeatDelta(s), 100u);
             EXPECT_LT(block, std::size_t{1} << 19);
         }},
        // The x86 filter's edges: the last position inside each window and
        // the first outside, and the block's last scanned position.
        {"CALL 511 after the pair", [] { return X86Window(2048, 44 + 511, {0xE8}); },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 1u); }},
        {"CALL 512 after the pair", [] { return X86Window(2048, 44 + 512, {0xE8}); },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 0u); }},
        {"CALL [rip] 1023 after",
         [] {
             return X86Window(4096, 44 + 1023, {0xFF, 0x15});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 1u); }},
        {"CALL [rip] 1024 after",
         [] {
             return X86Window(4096, 44 + 1024, {0xFF, 0x15});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 0u); }},
        {"LEA at the last position scanned",
         [] {
             return X86Window(44 + 300 + 17, 44 + 300, {0x48, 0x8D, 0x05});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 1u); }},
        {"LEA one past it",
         [] {
             return X86Window(44 + 300 + 16, 44 + 300, {0x48, 0x8D, 0x05});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 0u); }},
        {"CALL inside a JMP's operand",
         [] {
             return X86Window(2048, 100, {0xE9, 0xE8});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 0u); }},
        {"CALL after a JMP's operand",
         [] {
             return X86Window(2048, 100, {0xE9, 0, 0, 0, 0, 0xE8});
         },
         [](const Stats& s, std::size_t) { EXPECT_EQ(s.x86_operands_restored, 1u); }},
        // Exactly 64 MiB, the largest chunk; its last MiB repeats its first
        // from 63 MiB back, the furthest an offset can reach here.
        {"64 MiB, repeat at the largest offset",
         [&] {
             Bytes data(k64MiB);
             const Bytes head = testing::RandomBytes(1 << 20, seed);
             std::copy(head.begin(), head.end(), data.begin());
             std::copy(head.begin(), head.end(), data.end() - (1 << 20));
             return data;
         },
         [](const Stats& s, std::size_t block) {
             EXPECT_LT(block, (std::size_t{1} << 20) + 65536);
             EXPECT_GT(s.explicit_lz, 0u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto data = c.make();
        if (!data) {
            std::printf("skipped %s: files missing\n", c.name);
            continue;
        }
        Stats stats;
        const Bytes block = ExpectRoundTrip(*data, stats);
        c.expect(stats, block.size());
    }
}

// The container keeps a block only if it is smaller than the chunk: given
// one byte less room, chunks of up to 10 bytes (no block is smaller than
// 10) and incompressible ones answer "did not fit", and so do the chunks
// the format cannot take.
TEST(LzmsEncoder, AnswersDidNotFit) {
    for (std::size_t size = 0; size <= 10; ++size) {
        const Bytes chunk(size, std::byte{'a'});
        Bytes out(size + 64);
        EXPECT_EQ(EncodeBlock(chunk, std::span(out).first(size == 0 ? 0 : size - 1)), 0u)
            << size << " bytes";
        if (size < 4) {
            EXPECT_EQ(EncodeBlock(chunk, out), 0u) << size << " bytes, room to spare";
        }
    }
    const Bytes random = testing::RandomBytes(5000, 1);
    Bytes out(random.size() - 1);
    EXPECT_EQ(EncodeBlock(random, out), 0u);
    // Just enough room, and one unit less.
    Bytes roomy(random.size() + 1024);
    const std::size_t size = EncodeBlock(random, roomy);
    ASSERT_GT(size, random.size());
    EXPECT_EQ(EncodeBlock(random, std::span(roomy).first(size)), size);
    EXPECT_EQ(EncodeBlock(random, std::span(roomy).first(size - 1)), 0u);
    EXPECT_EQ(EncodeBlock(random, std::span(roomy).first(size - 2)), 0u);
    const Bytes too_big(kMaxBlockSize + 1);
    Bytes big_out(kMaxBlockSize);
    EXPECT_EQ(EncodeBlock(too_big, big_out), 0u);
}

// The same chunk gives the same block, whatever ran before it and however
// many threads share the work (the match finder's thread hands over batches
// of 64 Ki positions: this chunk spans several, and ends inside one).
TEST(LzmsEncoder, SameBlockForEveryThreadCount) {
    const auto code = testing::PeCode(300'000);
    const Bytes data = code ? *code : testing::SixteenBitRamps(300'000, 9);
    Bytes first(data.size());
    first.resize(EncodeBlock(data, first));
    ASSERT_FALSE(first.empty());
    for (const unsigned threads : {1u, 2u, 3u, 8u}) {
        Bytes other(1 << 16);
        EncodeBlock(testing::RandomBytes(1 << 15, threads), other, threads);
        Bytes again(data.size());
        again.resize(EncodeBlock(data, again, threads));
        EXPECT_TRUE(again == first) << threads << " threads";
    }
    // A chunk of exactly one batch, and one position more.
    for (const std::size_t size : {std::size_t{1} << 16, (std::size_t{1} << 16) + 1}) {
        const Bytes ramps = testing::SixteenBitRamps(size, 4);
        Bytes one(size), two(size);
        one.resize(EncodeBlock(ramps, one, 1));
        two.resize(EncodeBlock(ramps, two, 2));
        EXPECT_TRUE(!one.empty() && one == two) << size << " bytes";
    }
}

}  // namespace
}  // namespace korvanthelm::lzms
