// The stand-in cabinet.dll under Wine, reached the way the product reaches
// the real one: System32 only, functions by ordinal.
#include <windows.h>
// After windows.h: it needs its types.
#include <compressapi.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format/compression_container.h"

// mingw-w64's winerror.h lacks it; the value is Windows' own.
#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

using Bytes = std::vector<std::byte>;

Bytes FromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(
            static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes Generate(std::size_t size, unsigned char (*byte_at)(std::size_t)) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = std::byte{byte_at(i)};
    return out;
}

// Containers made by Windows' own Compress (LZMS, buffer mode) and what they hold.
struct Genuine {
    const char* name;
    std::string_view hex;
    std::size_t size;
    unsigned char (*byte_at)(std::size_t);
};
const Genuine kGenuine[] = {
    {"zeros", "0a51e5c01800da05001000000000000000100000000000000a000000ffaad0ff0000a03a4000", 4096,
     [](std::size_t) -> unsigned char { return 0; }},
    {"single_byte", "0a51e5c018005f05004000000000000000400000000000000a000000ffaad0ff0000a0ba4141",
     16384, [](std::size_t) -> unsigned char { return 0x41; }},
    {"small",
     "0a51e5c018004c05400000000000000040000000000000000e000000036bd066000000601506c60e0700", 64,
     [](std::size_t i) -> unsigned char { return static_cast<unsigned char>(7 * i); }},
    {"sequential",
     "0a51e5c018002b05000400000000000000040000000000000e000000426bd0ff0000a08ad95a1a020100", 1024,
     [](std::size_t i) -> unsigned char { return static_cast<unsigned char>(i); }},
    {"pattern",
     "0a51e5c01800590500200000000000000020000000000000120000003813d0bf0000d074817ebebafecaefbeadde",
     8192,
     [](std::size_t i) -> unsigned char {
         constexpr unsigned char kPattern[] = {0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0xBA, 0xBE};
         return kPattern[i % 8];
     }},
};
constexpr std::size_t kPrefix = korvanthelm::format::kContainerHeaderSize + 4;

using CreateFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES, PDECOMPRESSOR_HANDLE);
using DecompressFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE, PVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE);

struct FreeModule {
    void operator()(HMODULE m) const { FreeLibrary(m); }
};

class CabinetStandin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_.reset(LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!module_)
            return;
        create_ = reinterpret_cast<CreateFn>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), MAKEINTRESOURCEA(40))));
        decompress_ = reinterpret_cast<DecompressFn>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), MAKEINTRESOURCEA(43))));
        close_ = reinterpret_cast<CloseFn>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), MAKEINTRESOURCEA(45))));
    }
    static void TearDownTestSuite() { module_.reset(); }

    void SetUp() override {
        // Wine's own cabinet.dll has none of these ordinals: without this
        // check a call would land in Wine's abort stub.
        ASSERT_TRUE(module_) << "cabinet.dll not found in System32";
        ASSERT_TRUE(create_ && decompress_ && close_)
            << "ordinals 40/43/45 missing: not the stand-in";
        ASSERT_TRUE(create_(COMPRESS_ALGORITHM_LZMS, nullptr, &handle_));
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_TRUE(close_(handle_));
        }
    }

    struct Result {
        BOOL ok;
        DWORD error;
        SIZE_T produced;
    };
    Result Call(const Bytes& container, void* out, SIZE_T capacity) {
        SIZE_T produced = 0xDEAD;
        SetLastError(0);
        const BOOL ok = decompress_(handle_, const_cast<std::byte*>(container.data()),
                                    container.size(), out, capacity, &produced);
        return {ok, ok ? 0 : GetLastError(), produced};
    }

    static inline std::unique_ptr<HINSTANCE__, FreeModule> module_;
    static inline CreateFn create_ = nullptr;
    static inline DecompressFn decompress_ = nullptr;
    static inline CloseFn close_ = nullptr;
    DECOMPRESSOR_HANDLE handle_ = nullptr;
};

TEST_F(CabinetStandin, GenuineLzmsBuffersWithSizeQueryAndBufferChecks) {
    for (const Genuine& g : kGenuine) {
        SCOPED_TRACE(g.name);
        const Bytes container = FromHex(g.hex);
        const Bytes expected = Generate(g.size, g.byte_at);

        // Asking for the size: no buffer at all.
        Result r = Call(container, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(r.produced, g.size);

        // One byte short: refused, nothing written.
        Bytes out(g.size + 16, std::byte{0xA5});
        r = Call(container, out.data(), g.size - 1);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(r.produced, g.size);
        EXPECT_EQ(out, Bytes(g.size + 16, std::byte{0xA5}));

        // A larger buffer: T bytes produced, the rest untouched.
        r = Call(container, out.data(), out.size());
        ASSERT_TRUE(r.ok) << "error " << r.error;
        EXPECT_EQ(r.produced, g.size);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        EXPECT_EQ(Bytes(out.begin() + static_cast<std::ptrdiff_t>(g.size), out.end()),
                  Bytes(16, std::byte{0xA5}));
    }
}

// Two chunks of 32 KiB framing: a stored one, then the genuine single_byte
// LZMS block as the short last chunk.
TEST_F(CabinetStandin, StoredAndLzmsChunksInOneBuffer) {
    const std::uint64_t k = korvanthelm::format::kMinMultiChunkSize;
    const Bytes lzms = FromHex(kGenuine[1].hex);
    const Bytes block(lzms.begin() + kPrefix, lzms.end());
    const Bytes stored = Generate(
        k, [](std::size_t i) -> unsigned char { return static_cast<unsigned char>(i * 31 >> 3); });

    Bytes container =
        korvanthelm::format::MakeContainerHeader(korvanthelm::format::kAlgorithmLzms, k + 16384, k);
    const auto append_chunk = [&](const Bytes& payload) {
        const auto size = static_cast<std::uint32_t>(payload.size());
        for (int i = 0; i < 4; ++i)
            container.push_back(static_cast<std::byte>(size >> (8 * i)));
        container.insert(container.end(), payload.begin(), payload.end());
    };
    append_chunk(stored);
    append_chunk(block);

    Bytes out(k + 16384);
    const Result r = Call(container, out.data(), out.size());
    ASSERT_TRUE(r.ok) << "error " << r.error;
    EXPECT_EQ(r.produced, out.size());
    Bytes expected = stored;
    expected.resize(k + 16384, std::byte{0x41});
    EXPECT_EQ(out, expected);
}

TEST_F(CabinetStandin, BadBuffersAreRefused) {
    const Bytes good = FromHex(kGenuine[0].hex);  // zeros: T = 4096, 10-byte LZMS block
    struct Case {
        const char* what;
        Bytes container;
    };
    std::vector<Case> cases;
    Bytes b = good;
    b[6] ^= std::byte{1};
    cases.push_back({"check byte", b});
    cases.push_back({"cut short", Bytes(good.begin(), good.end() - 1)});
    b = good;
    b.push_back(std::byte{0});
    cases.push_back({"trailing byte", b});
    // A block whose first item is a match: nothing to copy from yet.
    b = Bytes(good.begin(), good.begin() + kPrefix);
    b[24] = std::byte{4};
    for (int i = 0; i < 4; ++i)
        b.push_back(std::byte{0xFF});
    cases.push_back({"LZMS block that does not decode", b});
    b = Bytes(good.begin(), good.begin() + kPrefix);
    b[24] = std::byte{5};
    for (int i = 0; i < 5; ++i)
        b.push_back(std::byte{0});
    cases.push_back({"LZMS block of odd size", b});
    cases.push_back({"empty", {}});

    for (const Case& c : cases) {
        Bytes out(4096);
        const Result r = Call(c.container, out.data(), out.size());
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_BAD_COMPRESSION_BUFFER)) << c.what;
    }
}

TEST_F(CabinetStandin, OnlyLzmsBufferModeIsOffered) {
    for (const DWORD algorithm :
         {DWORD{COMPRESS_ALGORITHM_MSZIP}, DWORD{COMPRESS_ALGORITHM_XPRESS},
          DWORD{COMPRESS_ALGORITHM_XPRESS_HUFF}, DWORD{COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW}}) {
        DECOMPRESSOR_HANDLE h = reinterpret_cast<DECOMPRESSOR_HANDLE>(1);
        SetLastError(0);
        EXPECT_FALSE(create_(algorithm, nullptr, &h)) << algorithm;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << algorithm;
        EXPECT_EQ(h, nullptr) << algorithm;
    }
    EXPECT_FALSE(create_(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
}

TEST_F(CabinetStandin, UnknownAndClosedHandlesAreRefused) {
    const Bytes container = FromHex(kGenuine[0].hex);
    Bytes out(4096);
    SIZE_T produced = 0;
    int not_a_handle = 0;
    for (DECOMPRESSOR_HANDLE h :
         {DECOMPRESSOR_HANDLE{nullptr}, reinterpret_cast<DECOMPRESSOR_HANDLE>(&not_a_handle)}) {
        SetLastError(0);
        EXPECT_FALSE(decompress_(h, const_cast<std::byte*>(container.data()), container.size(),
                                 out.data(), out.size(), &produced));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(close_(h));
    }
    // A second handle works on its own and is gone once closed.
    DECOMPRESSOR_HANDLE second = nullptr;
    ASSERT_TRUE(create_(COMPRESS_ALGORITHM_LZMS, nullptr, &second));
    EXPECT_NE(second, handle_);
    EXPECT_TRUE(decompress_(second, const_cast<std::byte*>(container.data()), container.size(),
                            out.data(), out.size(), &produced));
    EXPECT_TRUE(close_(second));
    SetLastError(0);
    EXPECT_FALSE(close_(second)) << "closed twice";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(decompress_(second, const_cast<std::byte*>(container.data()), container.size(),
                             out.data(), out.size(), &produced))
        << "used after close";
}

// No compressor: the packer compresses with its own encoder on every system,
// so the stand-in offers what Wine 8's cabinet.dll offers players, the
// decompressor only, and a compressor half coming back would be noticed.
TEST(CabinetStandinCompressor, NoCompressorIsExported) {
    const std::unique_ptr<HINSTANCE__, FreeModule> module(
        LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(module);
    for (const char* name :
         {"CreateCompressor", "SetCompressorInformation", "Compress", "CloseCompressor"}) {
        EXPECT_EQ(GetProcAddress(module.get(), name), nullptr) << name;
    }
    for (const WORD ordinal : {WORD{30}, WORD{31}, WORD{33}, WORD{35}}) {
        EXPECT_EQ(GetProcAddress(module.get(), MAKEINTRESOURCEA(ordinal)), nullptr) << ordinal;
    }
    EXPECT_NE(GetProcAddress(module.get(), MAKEINTRESOURCEA(43)), nullptr)
        << "the decompressor stays";
}

}  // namespace
