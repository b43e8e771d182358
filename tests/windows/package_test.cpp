// The package checks on crafted bytes, through the seams for the digest and
// the decompressor, and the entry walk on a real file system under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "format/utf8_to_utf16.h"
#include "package/entry_folders.h"
#include "package/extract_package.h"
#include "package/load_package_table.h"
#include "platform/sha256.h"
#include "tests/common/utf8_cases.h"
#include "tests/windows/test_support.h"
#include "tools/selftest/entry_walk_driver.h"

namespace korvanthelm {
namespace {

using testing::TempDir;

std::vector<std::byte> Bytes(const std::string& text) {
    std::vector<std::byte> bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

using selftest::MakePackageTable;
using selftest::MessageOfWrite;
using selftest::TableEntry;

// The table's bytes alone: what the envelope tests put in the stream.
std::vector<std::byte> Table(const std::vector<TableEntry>& entries) {
    return MakePackageTable(entries).bytes;
}

// A table header with any version bytes and count, and no records.
std::vector<std::byte> Header(std::uint8_t v0, std::uint8_t v1, std::uint32_t count) {
    std::string text = "KTPK";
    text += static_cast<char>(v0);
    text += static_cast<char>(v1);
    for (int i = 0; i < 4; ++i) {
        text += static_cast<char>((count >> (8 * i)) & 0xFF);
    }
    return Bytes(text);
}

// The envelope with the table itself as the "stream": the fake decompressor
// below copies it, so header and size checks can be driven byte by byte.
std::vector<std::byte> Envelope(const std::vector<std::byte>& stream, std::uint64_t unpacked) {
    return format::WritePackageEnvelope(unpacked, stream);
}

// A buffer-mode container with stored chunks only: what the built-in decoder
// takes and the fake decompressor below does not understand.
std::vector<std::byte> StoredContainer(const std::vector<std::byte>& table) {
    return format::WriteContainer(
        table, format::kLzmsChunkSize,
        [](std::span<const std::byte>, std::span<std::byte>) { return std::size_t{0}; });
}

// A decompressor made of test functions: copies its input, counts calls.
struct FakeCabinet {
    static inline int creates, closes, decompresses;
    static inline bool fail_create, fail_decompress, short_count;
    static void Reset() {
        creates = closes = decompresses = 0;
        fail_create = fail_decompress = short_count = false;
    }
    static BOOL WINAPI Create(DWORD algorithm, void*, void** handle) {
        ++creates;
        *handle = reinterpret_cast<void*>(0x1234);
        return algorithm == 5 && !fail_create;
    }
    static BOOL WINAPI Decompress(void*, const void* in, SIZE_T in_size, void* out, SIZE_T capacity,
                                  SIZE_T* produced) {
        ++decompresses;
        EXPECT_EQ(closes, creates - 1);  // this handle is still open
        *produced = in_size;
        if (short_count) {
            *produced = capacity - 1;  // "succeeds" with one byte missing
            return TRUE;
        }
        if (fail_decompress || in_size > capacity) {
            return FALSE;
        }
        std::memcpy(out, in, in_size);
        return TRUE;
    }
    static BOOL WINAPI Close(void* handle) {
        EXPECT_EQ(handle, reinterpret_cast<void*>(0x1234));
        ++closes;
        return TRUE;
    }
    static CompressionApi Api() {
        CompressionApi api;
        api.create = Create;
        api.decompress = Decompress;
        api.close = Close;
        return api;
    }
};

class DecodePackageTest : public ::testing::Test {
  protected:
    void SetUp() override { FakeCabinet::Reset(); }

    // Decodes with the fake decompressor and the real digest of `bytes` as
    // the expected one, counting digest computations.
    PackageTable Decode(const std::vector<std::byte>& bytes) {
        const std::wstring expected = ComputeSha256Text(bytes.data(), bytes.size());
        return DecodeWith(
            PackageResource{true, bytes.data(), static_cast<std::uint32_t>(bytes.size())},
            expected);
    }
    PackageTable DecodeWith(const PackageResource& resource, const std::wstring& expected) {
        return DecodePackageResource(
            resource, expected.c_str(),
            [this](const std::byte* data, std::uint64_t size) {
                ++digests_;
                return ComputeSha256Text(data, size);
            },
            [this] {
                ++loads_;
                return FakeCabinet::Api();
            });
    }
    // The failure message, or "" when decoding succeeded.
    template <class Call>
    std::wstring MessageOf(Call call) {
        try {
            call();
        } catch (const std::wstring& message) {
            return message;
        }
        return L"";
    }

    int digests_ = 0;
    int loads_ = 0;
};

TEST_F(DecodePackageTest, ResourceThatIsNoEnvelopeFailsBeforeAnyDigest) {
    const auto good = Envelope(Table({{"a", "x"}}), 0);
    auto wrong_first = good;
    wrong_first[0] = std::byte{'k'};
    const struct {
        const char* what;
        PackageResource resource;
        const wchar_t* message;
    } kCases[] = {
        {"not found", {false, nullptr, 0}, kPackageMissing},
        {"no bytes", {true, nullptr, 100}, kPackageCorrupt},
        {"15 bytes", {true, good.data(), 15}, kPackageCorrupt},
        {"first magic byte wrong", {true, wrong_first.data(), 16}, kPackageCorrupt},
    };
    for (const auto& c : kCases) {
        digests_ = 0;
        EXPECT_EQ(MessageOf([&] { DecodeWith(c.resource, std::wstring(64, L'0')); }), c.message)
            << c.what;
        EXPECT_EQ(digests_, 0) << c.what;
    }
    EXPECT_EQ(loads_, 0);
}

TEST_F(DecodePackageTest, DigestCoversTheWholeResourceBeforeItsSizeIsBelieved) {
    auto bytes = Envelope(Table({{"a", "x"}}), 0);
    const std::wstring expected = ComputeSha256Text(bytes.data(), bytes.size());
    for (const std::size_t at : {std::size_t{8}, std::size_t{15}, bytes.size() - 1}) {
        auto changed = bytes;
        changed[at] ^= std::byte{1};
        EXPECT_EQ(MessageOf([&] {
                      DecodeWith({true, changed.data(), static_cast<std::uint32_t>(changed.size())},
                                 expected);
                  }),
                  kPackageDigestMismatch)
            << at;
    }
    // Upper case is another text.
    std::wstring upper = expected;
    for (wchar_t& unit : upper) {
        unit = static_cast<wchar_t>(towupper(unit));
    }
    EXPECT_EQ(MessageOf([&] {
                  DecodeWith({true, bytes.data(), static_cast<std::uint32_t>(bytes.size())}, upper);
              }),
              kPackageDigestMismatch);
    EXPECT_EQ(loads_, 0);
}

TEST_F(DecodePackageTest, DeclaredSizeLimitIsTwoGiBInclusive) {
    const auto table = Table({{"a", "x"}});
    EXPECT_EQ(MessageOf([&] { Decode(Envelope(table, 0x80000001)); }), kPackageCorrupt);
    EXPECT_EQ(loads_, 0);
    // 0x80000000 passes the size test: the 2 GiB table is allocated and the
    // decompressor asked, which cannot fill it from this stream.
    EXPECT_EQ(MessageOf([&] { Decode(Envelope(table, 0x80000000)); }), kPackageDecompressFailed);
    EXPECT_EQ(FakeCabinet::decompresses, 1);
}

TEST_F(DecodePackageTest, DecompressorIsClosedBeforeItsResultCountsAndOnlyWhenCreated) {
    const auto table = Table({{"a", "x"}});
    const struct {
        const char* what;
        bool fail_create, fail_decompress;
        std::int64_t size_delta;
        int closes;
    } kCases[] = {
        {"creation fails", true, false, 0, 0},
        {"decompression fails", false, true, 0, 1},
        {"stream gives fewer bytes than declared", false, false, +1, 1},
        {"stream gives more bytes than declared", false, false, -1, 1},
    };
    for (const auto& c : kCases) {
        FakeCabinet::Reset();
        FakeCabinet::fail_create = c.fail_create;
        FakeCabinet::fail_decompress = c.fail_decompress;
        // The bare table is no container, so the built-in decoder refuses it too.
        EXPECT_EQ(MessageOf([&] { Decode(Envelope(table, table.size() + c.size_delta)); }),
                  kPackageDecompressFailed)
            << c.what;
        EXPECT_EQ(FakeCabinet::closes, c.closes) << c.what;
    }
}

TEST_F(DecodePackageTest, BuiltInDecoderTakesOverWhereTheSystemCannot) {
    const auto table = Table({{"a", "x"}, {"b", std::string(3000, 'b')}});
    const auto container = StoredContainer(table);
    const struct {
        const char* what;
        bool fail_create, fail_decompress, short_count;
        CompressionApiLoader loader;
    } kCases[] = {
        {"no cabinet functions", false, false, false, [] { return CompressionApi(); }},
        {"creation fails", true, false, false, FakeCabinet::Api},
        {"decompression fails", false, true, false, FakeCabinet::Api},
        {"another count produced", false, false, true, FakeCabinet::Api},
    };
    for (const auto& c : kCases) {
        FakeCabinet::Reset();
        FakeCabinet::fail_create = c.fail_create;
        FakeCabinet::fail_decompress = c.fail_decompress;
        FakeCabinet::short_count = c.short_count;
        for (const std::int64_t delta : {0, -1, +1}) {
            const auto bytes = Envelope(container, table.size() + delta);
            std::vector<std::byte> decoded;
            const std::wstring message = MessageOf([&] {
                decoded = DecodePackageResource(
                              {true, bytes.data(), static_cast<std::uint32_t>(bytes.size())},
                              ComputeSha256Text(bytes.data(), bytes.size()).c_str(),
                              ComputeSha256Text, c.loader)
                              .bytes;
            });
            // Only the exact declared size is accepted from either decoder.
            EXPECT_EQ(message, delta == 0 ? L"" : kPackageDecompressFailed) << c.what << delta;
            EXPECT_EQ(decoded, delta == 0 ? table : std::vector<std::byte>()) << c.what << delta;
        }
        EXPECT_EQ(FakeCabinet::closes, c.fail_create ? 0 : FakeCabinet::creates) << c.what;
    }
}

TEST_F(DecodePackageTest, TableHeaderChecks) {
    const struct {
        const char* what;
        std::vector<std::byte> table;
        bool accepted;
    } kCases[] = {
        {"version 31 00", Header(0x31, 0x00, 1), true},
        {"version 32 00", Header(0x32, 0x00, 1), false},
        {"version 00 31", Header(0x00, 0x31, 1), false},
        {"count 0", Header(0x31, 0x00, 0), false},
        {"count 1", Header(0x31, 0x00, 1), true},
        {"count 10000", Header(0x31, 0x00, 10000), true},
        {"count 10001", Header(0x31, 0x00, 10001), false},
        {"count 0xFFFFFFFF", Header(0x31, 0x00, 0xFFFFFFFF), false},
        {"9 bytes", Bytes(std::string("KTPK\x31\x00\x01\x00\x00", 9)), false},
        {"empty table", {}, false},
    };
    for (const auto& c : kCases) {
        const std::wstring message = MessageOf([&] {
            const PackageTable table = Decode(Envelope(c.table, c.table.size()));
            EXPECT_EQ(table.bytes, c.table);
        });
        EXPECT_EQ(message, c.accepted ? L"" : kPackageCorrupt) << c.what;
    }
}

TEST_F(DecodePackageTest, StoredContainerThroughTheSystemDecompressor) {
    const auto table =
        Table({{"KORVANTHELM/KORVANTHELM.exe", "MZ"}, {"b", std::string(5000, 'b')}});
    const auto bytes = Envelope(StoredContainer(table), table.size());
    const PackageTable decoded =
        DecodePackageResource({true, bytes.data(), static_cast<std::uint32_t>(bytes.size())},
                              ComputeSha256Text(bytes.data(), bytes.size()).c_str(),
                              ComputeSha256Text, LoadCompressionApi);
    EXPECT_EQ(decoded.bytes, table);
    EXPECT_EQ(decoded.entry_count, 2u);
}

// Newer Wine's Compression API: a Decompress that "succeeds" with a copy of
// its input, cut at the capacity.
BOOL WINAPI CopyingDecompress(void*, const void* in, SIZE_T in_size, void* out, SIZE_T capacity,
                              SIZE_T* produced) {
    ++FakeCabinet::decompresses;
    *produced = std::min(in_size, capacity);
    std::memcpy(out, in, *produced);
    return TRUE;
}

TEST_F(DecodePackageTest, SystemTableThatFailsItsHeaderGoesToTheBuiltInDecoder) {
    const auto good = Table({{"KORVANTHELM/KORVANTHELM.exe", "MZ"}, {"b", std::string(5000, 'b')}});
    const auto bad_version = [&] {
        auto table = good;
        table[4] = std::byte{0x32};
        return table;
    }();
    const struct {
        const char* what;
        std::vector<std::byte> table;
        const wchar_t* message;
    } kCases[] = {
        {"sound table", good, L""},
        {"version 32 00 from both decoders", bad_version, kPackageCorrupt},
    };
    for (const auto& c : kCases) {
        FakeCabinet::Reset();
        const auto bytes = Envelope(StoredContainer(c.table), c.table.size());
        std::vector<std::byte> decoded;
        const std::wstring message = MessageOf([&] {
            decoded = DecodePackageResource(
                          {true, bytes.data(), static_cast<std::uint32_t>(bytes.size())},
                          ComputeSha256Text(bytes.data(), bytes.size()).c_str(), ComputeSha256Text,
                          [] {
                              CompressionApi api = FakeCabinet::Api();
                              api.decompress = CopyingDecompress;
                              return api;
                          })
                          .bytes;
        });
        EXPECT_EQ(message, c.message) << c.what;
        EXPECT_EQ(decoded, c.message[0] == L'\0' ? c.table : std::vector<std::byte>()) << c.what;
        EXPECT_EQ(FakeCabinet::decompresses, 1) << c.what;
        EXPECT_EQ(FakeCabinet::closes, 1) << c.what;
    }
}

// ---- The two UTF-8 decoders ----------------------------------------------------

// What the bootstrapper's decoder (MultiByteToWideChar) makes of `bytes`
// next to the host tools' portable one: both must refuse, or both must give
// the same UTF-16. Returns "" when they agree.
std::string Disagreement(const std::string& bytes) {
    const std::span<const std::byte> utf8(reinterpret_cast<const std::byte*>(bytes.data()),
                                          bytes.size());
    std::wstring platform;
    const bool platform_decoded = DecodeEntryPath(utf8, platform);
    std::u16string portable;
    const bool portable_decoded = format::StrictUtf8Decoder{}(utf8, portable);
    if (platform_decoded == portable_decoded &&
        (!platform_decoded || std::u16string(platform.begin(), platform.end()) == portable)) {
        return "";
    }
    std::string hex;
    for (const char c : bytes) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X ", static_cast<unsigned char>(c));
        hex += byte;
    }
    return hex + (platform_decoded ? "platform decodes, " : "platform refuses, ") +
           (portable_decoded ? "portable decodes" : "portable refuses");
}

// Every form a value can take in 1 to 4 bytes, well formed or overlong.
std::string Encoded(std::uint32_t value, int length) {
    if (length == 1) {
        return std::string(1, static_cast<char>(value));
    }
    static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string out(static_cast<std::size_t>(length), '\0');
    for (int i = length - 1; i > 0; --i) {
        out[static_cast<std::size_t>(i)] = static_cast<char>(0x80 | (value & 0x3F));
        value >>= 6;
    }
    out[0] = static_cast<char>(kLead[length] | value);
    return out;
}

TEST(EntryPathDecoders, PlatformAndPortableAgreeEverywhere) {
    // The named classes, with what both must answer.
    for (const test::Utf8Case& c : test::Utf8Cases()) {
        EXPECT_EQ(Disagreement(c.utf8), "") << c.what;
        std::wstring platform;
        EXPECT_EQ(DecodeEntryPath(
                      std::span(reinterpret_cast<const std::byte*>(c.utf8.data()), c.utf8.size()),
                      platform),
                  c.utf16.has_value())
            << c.what;
    }
    // Every code point and every surrogate in its shortest form, every
    // overlong form of the values up to U+FFFF, and the values above
    // U+10FFFF that four bytes can still carry, each between ASCII letters.
    std::size_t disagreements = 0;
    const auto check = [&](const std::string& bytes) {
        const std::string why = Disagreement(bytes);
        if (!why.empty() && ++disagreements <= 20) {
            ADD_FAILURE() << why;
        }
    };
    for (std::uint32_t value = 0; value <= 0x1FFFFF; ++value) {
        const int shortest = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
        for (int length = shortest; length <= 4; ++length) {
            if (length > shortest && value > 0xFFFF) {
                break;
            }
            check("a" + Encoded(value, length) + "b");
        }
    }
    // Random bytes, biased towards the lead and continuation bytes where
    // decoders differ.
    const unsigned seed = std::random_device{}();
    std::printf("random UTF-8 seed %u\n", seed);
    std::mt19937 random(seed);
    for (int round = 0; round < 200000; ++round) {
        std::string bytes(1 + random() % 8, '\0');
        for (char& b : bytes) {
            const unsigned pick = random() % 4;
            b = static_cast<char>(pick == 0   ? random() % 0x80
                                  : pick == 1 ? 0x80 + random() % 0x40
                                              : 0xC0 + random() % 0x40);
        }
        check(bytes);
    }
    EXPECT_EQ(disagreements, 0u) << "seed " << seed;
}

}  // namespace
}  // namespace korvanthelm
