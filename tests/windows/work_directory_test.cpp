#include "platform/work_directory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <set>

#include "tests/windows/test_support.h"

namespace korvanthelm {
namespace {

using testing::Exists;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::wstring LinksDirectory() {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(L"KORVANTHELM_LINKS_DIR", buffer, 1024);
    return std::wstring(buffer, length);
}

// A generator that always delivers the same bytes and counts its calls.
struct FixedRandom {
    int* calls;
    std::byte value;
    bool operator()(std::span<std::byte, 16> bytes) const {
        ++*calls;
        std::memset(bytes.data(), std::to_integer<int>(value), bytes.size());
        return true;
    }
};

TEST(CreateWorkDirectory, NameIsBasePlusPrefixAndLowercaseHex) {
    TempDir base;
    const std::wstring path = CreateWorkDirectory(base.path());
    ASSERT_EQ(path.size(), base.path().size() + 51);
    EXPECT_EQ(path.substr(0, base.path().size() + 19), base.path() + L"\\korvanthelm-setup-");
    for (const wchar_t unit : path.substr(base.path().size() + 19)) {
        EXPECT_TRUE((unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'f')) << int(unit);
    }
    EXPECT_TRUE(testing::IsDirectory(path));
    EXPECT_TRUE(testing::Snapshot(path).empty());
}

TEST(CreateWorkDirectory, BytesBecomeDigitsInDeliveredOrderHighNibbleFirst) {
    TempDir base;
    const std::wstring path = CreateWorkDirectory(base.path(), [](std::span<std::byte, 16> bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = std::byte(0x0F + 0x10 * i);
        }
        return true;
    });
    EXPECT_EQ(path, base.path() + L"\\korvanthelm-setup-0f1f2f3f4f5f6f7f8f9fafbfcfdfefff");
}

TEST(CreateWorkDirectory, EveryRunGetsItsOwnDirectory) {
    TempDir base;
    std::set<std::wstring> seen;
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(seen.insert(CreateWorkDirectory(base.path())).second);
    }
}

TEST(CreateWorkDirectory, MissingBaseFailsAtOnceWithoutRetries) {
    TempDir base;
    int calls = 0;
    const FixedRandom random{&calls, std::byte{0x11}};
    try {
        CreateWorkDirectory(base / L"missing", random);
        FAIL() << "no failure";
    } catch (const std::wstring& message) {
        EXPECT_EQ(message, kWorkDirectoryFailed);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(Exists(base / L"missing"));
}

TEST(CreateWorkDirectory, FailedGeneratorCreatesNothing) {
    TempDir base;
    int calls = 0;
    EXPECT_THROW(CreateWorkDirectory(base.path(),
                                     [&](std::span<std::byte, 16>) {
                                         ++calls;
                                         return false;
                                     }),
                 std::wstring);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(testing::Snapshot(base.path()).empty());
}

TEST(CreateWorkDirectory, ExistingNameIsNeverReusedAndEightCollisionsFail) {
    TempDir base;
    const std::wstring taken = base.path() + L"\\korvanthelm-setup-" + std::wstring(32, L'a');
    testing::MakeDirectories(taken);
    WriteBytes(taken + L"\\theirs.txt", "not ours");
    int calls = 0;
    try {
        CreateWorkDirectory(base.path(), FixedRandom{&calls, std::byte{0xAA}});
        FAIL() << "no failure";
    } catch (const std::wstring& message) {
        EXPECT_EQ(message, kWorkDirectoryFailed);
    }
    EXPECT_EQ(calls, 8);
    EXPECT_EQ(ReadBytes(taken + L"\\theirs.txt"), "not ours");
    EXPECT_EQ(testing::Snapshot(base.path()).size(), 2u);
}

TEST(CreateWorkDirectory, CollisionDrawsANewName) {
    TempDir base;
    testing::MakeDirectories(base.path() + L"\\korvanthelm-setup-" + std::wstring(32, L'0'));
    int calls = 0;
    const std::wstring path = CreateWorkDirectory(base.path(), [&](std::span<std::byte, 16> bytes) {
        // Seven names that exist, then a free one.
        std::memset(bytes.data(), ++calls < 8 ? 0 : 0x22, bytes.size());
        return true;
    });
    EXPECT_EQ(calls, 8);
    EXPECT_EQ(path, base.path() + L"\\korvanthelm-setup-" + std::wstring(32, L'2'));
}

TEST(RemoveDirectoryTree, RemovesEverythingWhateverTheAttributes) {
    TempDir base;
    const std::wstring root = base / L"work";
    testing::MakeDirectories(root + L"\\a\\b\\c");
    testing::MakeDirectories(root + L"\\.hidden-dir");
    const struct {
        const wchar_t* name;
        DWORD attributes;
    } kFiles[] = {
        {L"plain.txt", FILE_ATTRIBUTE_NORMAL},
        {L"a\\readonly.txt", FILE_ATTRIBUTE_READONLY},
        {L"a\\archive-readonly.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {L"a\\archive.txt", FILE_ATTRIBUTE_ARCHIVE},
        {L"a\\b\\hidden.txt", FILE_ATTRIBUTE_HIDDEN},
        {L"a\\b\\c\\system.txt", FILE_ATTRIBUTE_SYSTEM},
        {L"a\\b\\c\\all.txt",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {L".dotfile", FILE_ATTRIBUTE_NORMAL},
        {L".hidden-dir\\.x", FILE_ATTRIBUTE_READONLY},
        {L"Кириллица с пробелом.txt", FILE_ATTRIBUTE_READONLY},
    };
    for (const auto& file : kFiles) {
        WriteBytes(root + L"\\" + file.name, "x");
        ASSERT_TRUE(SetFileAttributesW((root + L"\\" + file.name).c_str(), file.attributes));
    }
    RemoveDirectoryTree(root);
    EXPECT_FALSE(Exists(root));
}

TEST(RemoveDirectoryTree, MissingPathAndFilePathAreLeftAlone) {
    TempDir base;
    RemoveDirectoryTree(base / L"missing");
    EXPECT_FALSE(Exists(base / L"missing"));
    WriteBytes(base / L"file", "keep");
    RemoveDirectoryTree(base / L"file");
    EXPECT_EQ(ReadBytes(base / L"file"), "keep");
}

TEST(RemoveDirectoryTree, HeldFileKeepsItselfAndItsParentsUntilReleased) {
    TempDir base;
    const std::wstring root = base / L"work";
    testing::MakeDirectories(root + L"\\held\\deeper");
    testing::MakeDirectories(root + L"\\free");
    WriteBytes(root + L"\\held\\deeper\\busy.bin", "busy");
    WriteBytes(root + L"\\held\\sibling.txt", "x");
    WriteBytes(root + L"\\free\\other.txt", "x");
    WriteBytes(root + L"\\top.txt", "x");
    // Open without delete sharing, as a running program holds its files.
    HANDLE busy = CreateFileW((root + L"\\held\\deeper\\busy.bin").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);

    RemoveDirectoryTree(root);
    const auto left = testing::Snapshot(root);
    const std::map<std::wstring, std::string> expected = {
        {L"held", "<dir>"}, {L"held\\deeper", "<dir>"}, {L"held\\deeper\\busy.bin", "busy"}};
    EXPECT_EQ(left, expected);

    CloseHandle(busy);
    RemoveDirectoryTree(root);
    EXPECT_FALSE(Exists(root));
}

// Wine cannot create links from the Windows side; the fixture made a Unix
// directory link inside a tree, which Wine reports as a reparse point.
// Under Wine the link itself survives its removal (Wine acts on the target
// and refuses, since the target is not empty), so only the target is checked.
TEST(RemoveDirectoryTree, DirectoryLinkIsNeverEntered) {
    const std::wstring links = LinksDirectory();
    ASSERT_FALSE(links.empty()) << "KORVANTHELM_LINKS_DIR is not set";
    ASSERT_TRUE(Exists(links + L"\\tree\\sub\\dirlink\\keep.txt")) << "fixture missing";
    RemoveDirectoryTree(links + L"\\tree");
    EXPECT_EQ(ReadBytes(links + L"\\target\\keep.txt"), "keep\n");
    EXPECT_FALSE(Exists(links + L"\\tree\\a.txt"));
    EXPECT_FALSE(Exists(links + L"\\tree\\sub\\b.txt"));
}

TEST(RemoveDirectoryTree, RootThatIsALinkIsNotEntered) {
    const std::wstring links = LinksDirectory();
    ASSERT_FALSE(links.empty());
    RemoveDirectoryTree(links + L"\\dirlink");
    EXPECT_EQ(ReadBytes(links + L"\\target\\keep.txt"), "keep\n");
}

}  // namespace
}  // namespace korvanthelm
