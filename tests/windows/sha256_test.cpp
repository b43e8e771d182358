#include "platform/sha256.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/windows/test_support.h"

namespace korvanthelm {
namespace {

using testing::TempDir;
using testing::WriteBytes;

constexpr wchar_t kEmptyDigest[] =
    L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr wchar_t kAbcDigest[] =
    L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr wchar_t kAbcDigestUpper[] =
    L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
// 1 MiB of (i * 31 + 7) mod 256.
constexpr wchar_t kPatternDigest[] =
    L"06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286";
// 268,435,456 zero bytes.
constexpr wchar_t kZeros256MiBDigest[] =
    L"a6d72ac7690f53be6ae46ba88506bd97302a093f7108472bd9efc3cefda06484";

std::wstring Digest(const std::string& bytes) {
    return ComputeSha256Text(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size());
}

TEST(ComputeSha256Text, KnownAnswersInLowercaseText) {
    std::string pattern(1 << 20, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    }
    EXPECT_EQ(Digest(""), kEmptyDigest);
    EXPECT_EQ(ComputeSha256Text(nullptr, 0), kEmptyDigest);
    EXPECT_EQ(Digest("abc"), kAbcDigest);
    EXPECT_EQ(Digest(pattern), kPatternDigest);
}

TEST(ComputeSha256Text, InputLongerThanOneHashCallIsRefusedNotSplit) {
    // Nothing is read: the size alone decides.
    try {
        ComputeSha256Text(nullptr, 0x100000000ull);
        FAIL() << "no failure";
    } catch (const std::wstring& message) {
        EXPECT_EQ(message, kSha256Failed);
    }
}

TEST(DigestTextMatches, SameLengthAndUnitsOnly) {
    EXPECT_TRUE(DigestTextMatches(kAbcDigest, kAbcDigest));
    EXPECT_FALSE(DigestTextMatches(kAbcDigest, kAbcDigestUpper));
    EXPECT_FALSE(DigestTextMatches(kAbcDigest, (std::wstring(kAbcDigest) + L"\r\n").c_str()));
    EXPECT_FALSE(DigestTextMatches(kAbcDigest, std::wstring(kAbcDigest, 63).c_str()));
    EXPECT_FALSE(DigestTextMatches(L"", kAbcDigest));
}

TEST(FileMatchesDigest, ContentsDecide) {
    TempDir dir;
    WriteBytes(dir / L"abc.txt", "abc");
    WriteBytes(dir / L"empty.txt", "");
    EXPECT_TRUE(FileMatchesDigest(dir / L"abc.txt", kAbcDigest));
    EXPECT_FALSE(FileMatchesDigest(dir / L"abc.txt", kAbcDigestUpper));
    EXPECT_FALSE(FileMatchesDigest(dir / L"abc.txt", kEmptyDigest));
    EXPECT_TRUE(FileMatchesDigest(dir / L"empty.txt", kEmptyDigest));
    EXPECT_FALSE(FileMatchesDigest(dir / L"missing.txt", kEmptyDigest));
    EXPECT_FALSE(FileMatchesDigest(dir.path(), kEmptyDigest));
}

TEST(FileMatchesDigest, FileHeldWithoutReadSharingIsNoMatch) {
    TempDir dir;
    WriteBytes(dir / L"abc.txt", "abc");
    const HANDLE writer = CreateFileW((dir / L"abc.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FileMatchesDigest(dir / L"abc.txt", kAbcDigest));
    CloseHandle(writer);
    EXPECT_TRUE(FileMatchesDigest(dir / L"abc.txt", kAbcDigest));
}

TEST(FileMatchesDigest, SizeLimitIsExactly256MiB) {
    TempDir dir;
    const std::wstring path = dir / L"big.bin";
    const auto resize = [&](LONGLONG bytes) {
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        LARGE_INTEGER size;
        size.QuadPart = bytes;
        EXPECT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
        EXPECT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
    };
    resize(0x10000000);
    EXPECT_TRUE(FileMatchesDigest(path, kZeros256MiBDigest));
    // One byte more is refused by its size alone, before anything is read.
    resize(0x10000001);
    EXPECT_FALSE(FileMatchesDigest(path, kZeros256MiBDigest));
}

// A directory link made by the fixture is a reparse point: refused without
// being opened. (A Unix link to a file looks like a plain file under Wine, so
// the file-link case can only be checked on Windows.)
TEST(FileMatchesDigest, DirectoryLinkIsNoMatch) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(L"KORVANTHELM_LINKS_DIR", buffer, 1024);
    ASSERT_GT(length, 0u);
    const std::wstring links(buffer, length);
    EXPECT_FALSE(FileMatchesDigest(links + L"\\dirlink", kEmptyDigest));
    EXPECT_TRUE(FileMatchesDigest(links + L"\\file.txt", kAbcDigest));
}

}  // namespace
}  // namespace korvanthelm
