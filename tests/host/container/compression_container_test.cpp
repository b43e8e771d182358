#include "format/compression_container.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/host/lzms/genuine_buffers.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace korvanthelm::format {
namespace {

using testing::Bytes;
using testing::ReadGenuine;
using testing::UnpackContainer;

std::uint64_t LoadLe64(const Bytes& b, std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = 8; i-- > 0;)
        v = v << 8 | std::to_integer<std::uint64_t>(b[at + i]);
    return v;
}

// wimlib at its default level, as the packer uses it.
std::size_t WimlibChunk(std::span<const std::byte> chunk, std::span<std::byte> out) {
    static const testing::WimlibLzmsCompressor compressor(kLzmsChunkSize);
    return compressor.CompressInto(chunk, out);
}

TEST(ContainerHeader, SameBytesAsWindowsForTheSameSizes) {
    for (const char* name : testing::kGenuineNames) {
        SCOPED_TRACE(name);
        const auto genuine = ReadGenuine(std::string(name) + ".lzms");
        ASSERT_TRUE(genuine) << "missing genuine buffer";
        const Bytes header(genuine->begin(), genuine->begin() + kContainerHeaderSize);
        EXPECT_EQ(MakeContainerHeader(kAlgorithmLzms, LoadLe64(header, 8), LoadLe64(header, 16)),
                  header);
    }
}

TEST(ContainerReader, GenuineBuffersParseAsOneChunk) {
    for (const char* name : testing::kGenuineNames) {
        SCOPED_TRACE(name);
        const auto genuine = ReadGenuine(std::string(name) + ".lzms");
        const auto raw = ReadGenuine(std::string(name) + ".raw");
        ASSERT_TRUE(genuine && raw);
        const auto layout = ParseContainer(*genuine);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->algorithm, kAlgorithmLzms);
        EXPECT_EQ(layout->total_size, raw->size());
        EXPECT_EQ(layout->chunk_size, raw->size());
        ASSERT_EQ(layout->chunks.size(), 1u);
        const ContainerChunk& chunk = layout->chunks[0];
        EXPECT_EQ(chunk.uncompressed_size, raw->size());
        EXPECT_EQ(chunk.payload.data(), genuine->data() + kContainerHeaderSize + 4);
        EXPECT_EQ(chunk.payload.size(), genuine->size() - kContainerHeaderSize - 4);
        EXPECT_EQ(chunk.stored, std::string(name) == "random");
        EXPECT_EQ(UnpackContainer(*genuine), raw);
    }
}

TEST(ContainerWriter, IncompressibleGenuineBufferIsReproducedExactly) {
    const auto genuine = ReadGenuine("random.lzms");
    const auto raw = ReadGenuine("random.raw");
    ASSERT_TRUE(genuine && raw);
    EXPECT_EQ(WriteContainer(*raw, kLzmsChunkSize, WimlibChunk), *genuine);
}

TEST(ContainerWriter, RoundTripsWithStoredMiddleChunkAndShortLastChunk) {
    // 32 KiB chunks (the smallest Windows takes for several chunks): text,
    // then a random chunk that must be stored, then text again, then a short tail.
    const std::size_t k = kMinMultiChunkSize;
    const auto text = testing::HeaderText(3 * k);
    if (!text)
        GTEST_SKIP() << "no C headers in /usr/include";
    Bytes data(text->begin(), text->begin() + k);
    const Bytes noise = testing::RandomBytes(k, 11);
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), text->begin() + k, text->end());
    data.resize(3 * k + 1000);

    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    const Bytes container = WriteContainer(
        data, k, WimlibChunk,
        [&](std::uint64_t done, std::uint64_t total) { progress.emplace_back(done, total); });
    const auto layout = ParseContainer(container);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->chunk_size, k);
    ASSERT_EQ(layout->chunks.size(), 4u);
    EXPECT_FALSE(layout->chunks[0].stored);
    EXPECT_TRUE(layout->chunks[1].stored);
    EXPECT_FALSE(layout->chunks[2].stored);
    EXPECT_EQ(layout->chunks[3].uncompressed_size, 1000u);
    EXPECT_EQ(UnpackContainer(container), data);
    // The built-in decoder fills exactly the declared table or nothing.
    for (const std::size_t size : {data.size() - 1, data.size() + 1}) {
        Bytes out(size);
        EXPECT_FALSE(codec::DecodeContainer(container, out)) << size;
    }
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {k, data.size()}, {2 * k, data.size()}, {3 * k, data.size()}, {data.size(), data.size()}};
    EXPECT_EQ(progress, expected);
}

TEST(ContainerWriter, UnhelpfulOrLyingCompressorAndBadChunkSizes) {
    const Bytes data = testing::RandomBytes(100'000, 1);
    // A compressor that always declines: every chunk stored.
    const auto declines = [](std::span<const std::byte>, std::span<std::byte>) {
        return std::size_t{0};
    };
    const Bytes stored = WriteContainer(data, kMinMultiChunkSize, declines);
    EXPECT_EQ(stored.size(), kContainerHeaderSize + data.size() + 4 * 4);
    EXPECT_EQ(UnpackContainer(stored), data);

    const auto overclaims = [](std::span<const std::byte>, std::span<std::byte> out) {
        return out.size() + 1;
    };
    EXPECT_THROW(WriteContainer(data, kMinMultiChunkSize, overclaims), std::logic_error);

    for (const std::uint64_t k : {std::uint64_t{0}, kMinMultiChunkSize - 1}) {
        EXPECT_THROW(WriteContainer(data, k, declines), std::invalid_argument) << "K=" << k;
    }
    // K is min(T, chunk size): too large a chunk size only matters for data that large.
    EXPECT_NO_THROW(WriteContainer(data, kLzmsChunkSize + 1, declines));
    const Bytes big(kLzmsChunkSize + 2);
    EXPECT_THROW(WriteContainer(big, kLzmsChunkSize + 1, declines), std::invalid_argument);
    // A small K is fine when the data is one chunk of it.
    EXPECT_NO_THROW(WriteContainer(std::span(data).first(100), 100, declines));
}

// ---- The strict reader: every rejection, with its near miss -------------

// A well-formed two-chunk buffer to break: T = 32 KiB + 100, K = 32 KiB,
// an "LZMS" first chunk of 6 bytes and a stored last chunk (payload bytes
// are not decoded by the reader).
struct Sample {
    std::uint64_t total = kMinMultiChunkSize + 100;
    std::uint64_t chunk = kMinMultiChunkSize;
    std::uint8_t algorithm = kAlgorithmLzms;
    std::vector<std::uint64_t> payload_sizes = {6, 100};
    std::size_t trailing = 0;
    std::size_t cut = 0;  // bytes removed from the end

    Bytes Build() const {
        Bytes b = MakeContainerHeader(algorithm, total, chunk);
        for (const std::uint64_t size : payload_sizes) {
            const std::size_t at = b.size();
            b.resize(at + 4 + size, std::byte{0x5A});
            for (std::size_t i = 0; i < 4; ++i)
                b[at + i] = static_cast<std::byte>(size >> (8 * i));
        }
        b.resize(b.size() + trailing, std::byte{0});
        b.resize(b.size() - cut);
        return b;
    }
};

TEST(ContainerReader, FramingCasesAndTheirNearMisses) {
    struct Case {
        const char* what;
        Sample sample;
        bool valid;
    };
    const std::uint64_t k = kMinMultiChunkSize;
    const Case cases[] = {
        {"the sample itself", {}, true},
        {"last chunk stored at exactly its size", {.payload_sizes = {6, 100}}, true},
        {"last chunk one byte over its size", {.payload_sizes = {6, 101}}, false},
        {"first chunk stored at exactly K", {.payload_sizes = {k, 99}}, true},
        {"first chunk larger than K", {.payload_sizes = {k + 1, 99}}, false},
        {"empty payload", {.payload_sizes = {0, 100}}, false},
        {"a chunk missing", {.payload_sizes = {6}}, false},
        {"a chunk too many", {.payload_sizes = {6, 100, 6}}, false},
        {"one trailing byte", {.trailing = 1}, false},
        {"last payload cut short", {.cut = 1}, false},
        {"size field cut short", {.payload_sizes = {6, 100}, .cut = 102}, false},
        {"K = 32 KiB - 1 with two chunks",
         {.total = k + 99, .chunk = k - 1, .payload_sizes = {6, 100}},
         false},
        {"K = T = 32 KiB - 1", {.total = k - 1, .chunk = k - 1, .payload_sizes = {6}}, true},
        {"K = T = 1", {.total = 1, .chunk = 1, .payload_sizes = {1}}, true},
        {"K larger than T", {.total = 100, .chunk = 101, .payload_sizes = {6}}, false},
        {"K = 0 with T > 0", {.total = 100, .chunk = 0, .payload_sizes = {6}}, false},
        {"T = K = 0, no chunks", {.total = 0, .chunk = 0, .payload_sizes = {}}, true},
        {"T = 0 with K > 0", {.total = 0, .chunk = 1, .payload_sizes = {}}, false},
        {"K = 64 MiB",
         {.total = kLzmsChunkSize + 5, .chunk = kLzmsChunkSize, .payload_sizes = {6, 5}},
         true},
        {"K = 64 MiB + 1",
         {.total = kLzmsChunkSize + 5, .chunk = kLzmsChunkSize + 1, .payload_sizes = {6, 4}},
         false},
        {"K with a non-zero upper half",
         {.total = (std::uint64_t{1} << 32) + k,
          .chunk = (std::uint64_t{1} << 32) + k,
          .payload_sizes = {6}},
         false},
        {"T far beyond the buffer",
         {.total = std::uint64_t{1} << 62, .payload_sizes = {6, 6}},
         false},
        {"algorithm XPRESS_HUFF", {.algorithm = 4}, false},
        {"algorithm LZMS | COMPRESS_RAW's byte", {.algorithm = 0x25}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseContainer(c.sample.Build()).has_value(), c.valid) << c.what;
    }
}

// Header fields are checked for themselves, not only through the check
// byte: with every possible check byte a wrong field is still refused.
TEST(ContainerReader, HeaderFieldsAreRefusedWhateverTheCheckByte) {
    const Bytes good = Sample{}.Build();
    ASSERT_TRUE(ParseContainer(good));
    struct Case {
        const char* what;
        std::size_t at;
        std::byte value;
    };
    const Case cases[] = {
        {"signature byte 0", 0, std::byte{0x0B}}, {"signature byte 3", 3, std::byte{0xC1}},
        {"header length 25", 4, std::byte{0x19}}, {"header length high byte", 5, std::byte{0x01}},
        {"algorithm MSZIP", 7, std::byte{2}},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        b[c.at] = c.value;
        for (int check = 0; check < 256; ++check) {
            b[6] = static_cast<std::byte>(check);
            ASSERT_FALSE(ParseContainer(b)) << c.what << ", check byte " << check;
        }
    }
    // And a good header with a wrong check byte.
    for (int delta = 1; delta < 256; ++delta) {
        Bytes b = good;
        b[6] = static_cast<std::byte>(std::to_integer<int>(b[6]) + delta);
        ASSERT_FALSE(ParseContainer(b)) << "check byte off by " << delta;
    }
    // Each header byte the check covers: flipping any bit is caught.
    for (std::size_t bit = 0; bit < kContainerHeaderSize * 8; ++bit) {
        if (bit / 8 == 6)
            continue;
        Bytes b = good;
        b[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
        ASSERT_FALSE(ParseContainer(b)) << "header bit " << bit;
    }
    EXPECT_FALSE(ParseContainer(std::span(good).first(kContainerHeaderSize - 1))) << "short header";
    EXPECT_FALSE(ParseContainer({})) << "empty buffer";
}

}  // namespace
}  // namespace korvanthelm::format
