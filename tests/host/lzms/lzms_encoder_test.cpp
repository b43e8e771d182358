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

const testing::WimlibLzmsDecompressor& Reference() {
    static const testing::WimlibLzmsDecompressor decompressor(kMaxBlockSize);
    return decompressor;
}

// Encodes `data` with room to spare, decodes the block with our decoder and
// with wimlib's, expects the input back from both, and returns what the
// block held.
BlockStatisticsForTesting ExpectRoundTrip(const Bytes& data, std::size_t* block_size = nullptr) {
    Bytes block(data.size() + data.size() / 8 + 64);
    const std::size_t size = EncodeBlock(data, block);
    EXPECT_NE(size, 0u);
    EXPECT_EQ(size % 2, 0u);
    block.resize(size);
    if (block_size)
        *block_size = size;
    BlockStatisticsForTesting stats;
    Bytes ours(data.size());
    EXPECT_TRUE(DecodeBlockForTesting(block, ours, stats));
    EXPECT_TRUE(ours == data) << "our decoder: first difference at "
                              << (std::mismatch(ours.begin(), ours.end(), data.begin()).first -
                                  ours.begin());
    Bytes theirs(data.size());
    EXPECT_TRUE(Reference().Decompress(block, theirs));
    EXPECT_TRUE(theirs == data)
        << "wimlib's decoder: first difference at "
        << (std::mismatch(theirs.begin(), theirs.end(), data.begin()).first - theirs.begin());
    return stats;
}

Bytes AsBytes(std::string_view text) {
    Bytes out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

TEST(LzmsEncoder, RoundTripsThroughBothDecoders) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    struct Case {
        const char* name;
        std::function<std::optional<Bytes>()> make;
    };
    const Case cases[] = {
        {"4 bytes", [] { return AsBytes("abcd"); }},
        {"11 zero bytes", [] { return Bytes(11); }},
        {"64 KiB of C headers", [] { return testing::HeaderText(64 << 10); }},
        {"1 MiB of zeros", [] { return Bytes(1 << 20); }},
        {"random", [&] { return testing::RandomBytes(300'000, seed); }},
        {"1 MiB of PE code", [] { return testing::PeCode(1 << 20); }},
        {"16-bit ramps", [&] { return testing::SixteenBitRamps(1 << 20, seed); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto data = c.make();
        if (!data) {
            std::printf("skipped %s: files missing\n", c.name);
            continue;
        }
        ExpectRoundTrip(*data);
    }
}

}  // namespace
}  // namespace korvanthelm::lzms
