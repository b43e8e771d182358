// The entry walk on a real disk: every entry with its folders, what stays
// when a later entry fails, links planted on the way, and the folders the
// walk holds while it passes through them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <vector>

#include "package/entry_folders.h"
#include "package/extract_package.h"
#include "package/load_package_table.h"
#include "tests/windows/test_support.h"
#include "tools/selftest/entry_walk_driver.h"

namespace korvanthelm {
namespace {

using selftest::MakePackageTable;
using selftest::MessageOfWrite;
using selftest::TableEntry;
using testing::TempDir;
std::wstring LinksDirectory() {
    wchar_t buffer[1024];
    return std::wstring(buffer, GetEnvironmentVariableW(L"KORVANTHELM_LINKS_DIR", buffer, 1024));
}

TEST(WritePackageEntries, WritesEveryEntryWithItsFolders) {
    TempDir work;
    const PackageTable table =
        MakePackageTable({{"a/b.txt", "b"},
                          {"a/c.txt", "c"},
                          {"empty", ""},
                          {"Данные/с пробелом/файл.bin", std::string(70000, '\x01')},
                          {"A/d.txt", "case of an existing folder"}});
    EXPECT_EQ(MessageOfWrite(table, work.path()), L"");
    const std::map<std::wstring, std::string> expected = {
        {L"a", "<dir>"},
        {L"a\\b.txt", "b"},
        {L"a\\c.txt", "c"},
        {L"a\\d.txt", "case of an existing folder"},
        {L"empty", ""},
        {L"Данные", "<dir>"},
        {L"Данные\\с пробелом", "<dir>"},
        {L"Данные\\с пробелом\\файл.bin", std::string(70000, '\x01')},
    };
    EXPECT_EQ(testing::Snapshot(work.path()), expected);
}

TEST(WritePackageEntries, EarlierEntriesStayWhenALaterOneFails) {
    TempDir work;
    EXPECT_EQ(MessageOfWrite(
                  MakePackageTable({{"one.txt", "1"}, {"sub/two.txt", "2"}, {"../three.txt", "3"}}),
                  work.path()),
              kUnsafeEntryPath);
    const std::map<std::wstring, std::string> expected = {
        {L"one.txt", "1"}, {L"sub", "<dir>"}, {L"sub\\two.txt", "2"}};
    EXPECT_EQ(testing::Snapshot(work.path()), expected);
}

TEST(WritePackageEntries, ExistingFileIsNeverOverwritten) {
    TempDir work;
    testing::WriteBytes(work / L"planted.txt", "theirs");
    EXPECT_EQ(MessageOfWrite(MakePackageTable({{"planted.txt", "ours"}}), work.path()),
              kWriteFailed);
    EXPECT_EQ(testing::ReadBytes(work / L"planted.txt"), "theirs");
}

TEST(WritePackageEntries, WorkDirectoryMustBeAPlainDirectory) {
    TempDir dir;
    testing::WriteBytes(dir / L"file", "x");
    const std::wstring links = LinksDirectory();
    ASSERT_FALSE(links.empty());
    const auto target_before = testing::Snapshot(links + L"\\target");
    for (const std::wstring& work : {dir / L"missing", dir / L"file", links + L"\\dirlink"}) {
        // The first entry would be written at once if the check let it through.
        EXPECT_EQ(MessageOfWrite(MakePackageTable({{"x.txt", "x"}}), work), kUnsafeWorkDirectory)
            << testing::ToUtf8(work);
    }
    EXPECT_EQ(testing::Snapshot(links + L"\\target"), target_before);
}

TEST(WritePackageEntries, PlantedFolderLinkIsRefusedAndNothingIsWrittenThroughIt) {
    const std::wstring links = LinksDirectory();
    ASSERT_FALSE(links.empty());
    const auto target_before = testing::Snapshot(links + L"\\target");
    EXPECT_EQ(MessageOfWrite(MakePackageTable({{"a/evil.txt", "x"}}), links + L"\\planted"),
              kUnsafeWorkDirectory);
    EXPECT_EQ(testing::Snapshot(links + L"\\target"), target_before);
}

TEST(WritePackageEntries, TrailingBytesComeAfterTheLastFile) {
    TempDir work;
    PackageTable table = MakePackageTable({{"a.txt", "a"}});
    table.bytes.push_back(std::byte{0});
    EXPECT_EQ(MessageOfWrite(table, work.path()), kTrailingData);
    EXPECT_EQ(testing::ReadBytes(work / L"a.txt"), "a");
}

// One raw record appended to a table: `path_length`, the path, `data_size`,
// and only `data` after it, so a size can claim more than is there.
void AppendRecord(std::vector<std::byte>& table, const std::string& path, std::uint64_t data_size,
                  const std::string& data) {
    const std::size_t length = path.size();
    table.push_back(static_cast<std::byte>(length & 0xFF));
    table.push_back(static_cast<std::byte>(length >> 8));
    for (const char c : path) {
        table.push_back(static_cast<std::byte>(c));
    }
    for (int i = 0; i < 8; ++i) {
        table.push_back(static_cast<std::byte>((data_size >> (8 * i)) & 0xFF));
    }
    for (const char c : data) {
        table.push_back(static_cast<std::byte>(c));
    }
}

// Faults met part-way through the walk: the exact message, and the entries
// before the fault are on disk, none after it.
TEST(WritePackageEntries, FaultsPartWayKeepWhatCameBefore) {
    struct Case {
        const char* name;
        std::vector<TableEntry> entries;
        std::uint32_t entry_count;  // as the header says
        // A raw record after `entries`; `extra_data_size` may claim more
        // than `extra_data` holds.
        bool extra = false;
        std::string extra_path;
        std::uint64_t extra_data_size = 0;
        std::string extra_data;
        const wchar_t* message;
        std::map<std::wstring, std::string> disk;
    };
    const Case kCases[] = {
        {"count above the records",
         {{"a.txt", "a"}, {"b/c.txt", "c"}},
         3,
         false,
         "",
         0,
         "",
         kPackageCorrupt,
         {{L"a.txt", "a"}, {L"b", "<dir>"}, {L"b\\c.txt", "c"}}},
        {"count below the records",
         {{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}},
         2,
         false,
         "",
         0,
         "",
         kTrailingData,
         {{L"a.txt", "a"}, {L"b.txt", "b"}}},
        // The bounds come before the path: an empty path is not what fails.
        {"empty path, data one byte past the end",
         {{"a.txt", "a"}},
         2,
         true,
         "",
         4,
         "xyz",
         kPackageCorrupt,
         {{L"a.txt", "a"}}},
        {"empty path, data to the very end",
         {{"a.txt", "a"}},
         2,
         true,
         "",
         3,
         "xyz",
         kBadEntryPath,
         {{L"a.txt", "a"}}},
        {"named path, data one byte past the end",
         {{"a.txt", "a"}},
         2,
         true,
         "b.txt",
         4,
         "xyz",
         kPackageCorrupt,
         {{L"a.txt", "a"}}},
        {"file, then a folder of its name",
         {{"a", "file"}, {"a/b", "x"}},
         2,
         false,
         "",
         0,
         "",
         kUnsafeWorkDirectory,
         {{L"a", "file"}}},
        {"folder, then a file of its name",
         {{"a/b", "x"}, {"a", "file"}},
         2,
         false,
         "",
         0,
         "",
         kWriteFailed,
         {{L"a", "<dir>"}, {L"a\\b", "x"}}},
        {"ASCII case duplicate",
         {{"Docs/Readme.txt", "first"}, {"docs/README.TXT", "second"}},
         2,
         false,
         "",
         0,
         "",
         kDuplicateEntryPath,
         {{L"Docs", "<dir>"}, {L"Docs\\Readme.txt", "first"}}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir work;
        PackageTable table = MakePackageTable(c.entries);
        table.entry_count = c.entry_count;
        if (c.extra) {
            AppendRecord(table.bytes, c.extra_path, c.extra_data_size, c.extra_data);
        }
        EXPECT_EQ(MessageOfWrite(table, work.path()), c.message);
        EXPECT_EQ(testing::Snapshot(work.path()), c.disk);
    }
}

// What the self-test's link checks rely on: the hook runs once per entry, in
// order, when every entry before it is on disk and nothing of its own is; what
// it throws ends the walk and comes out as it was thrown.
TEST(WritePackageEntries, BeforeEntrySeesEachEntryBeforeItIsWritten) {
    struct Stop {
        std::uint32_t at;
    };
    const std::vector<TableEntry> entries = {
        {"a/one.txt", "1"}, {"b/c/two.txt", "2"}, {"three", "3"}};
    const std::vector<std::map<std::wstring, std::string>> before = {
        {},
        {{L"a", "<dir>"}, {L"a\\one.txt", "1"}},
        {{L"a", "<dir>"},
         {L"a\\one.txt", "1"},
         {L"b", "<dir>"},
         {L"b\\c", "<dir>"},
         {L"b\\c\\two.txt", "2"}},
    };
    // The hook stops the walk at `stop` (3: never).
    for (const std::uint32_t stop : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(stop);
        TempDir work;
        std::vector<std::uint32_t> seen;
        const auto hook = [&](std::uint32_t entry) {
            seen.push_back(entry);
            ASSERT_LT(entry, before.size());
            EXPECT_EQ(testing::Snapshot(work.path()), before[entry]) << entry;
            if (entry == stop) {
                throw Stop{entry};
            }
        };
        std::optional<std::uint32_t> stopped;
        try {
            EXPECT_EQ(MessageOfWrite(MakePackageTable(entries), work.path(), hook), L"");
        } catch (const Stop& thrown) {
            stopped = thrown.at;
        }
        EXPECT_EQ(stopped, stop < 3 ? std::optional<std::uint32_t>(stop) : std::nullopt);
        std::vector<std::uint32_t> expected_seen;
        for (std::uint32_t entry = 0; entry <= std::min(stop, 2u); ++entry) {
            expected_seen.push_back(entry);
        }
        EXPECT_EQ(seen, expected_seen);
        const auto all = [&] {
            auto disk = before[2];
            disk[L"three"] = "3";
            return disk;
        }();
        EXPECT_EQ(testing::Snapshot(work.path()), stop < 3 ? before[stop] : all);
    }
}

// ---- Folders on an entry's way ----------------------------------------------------

std::wstring MessageOfEnter(EntryFolders& folders, const std::wstring& target) {
    try {
        folders.Enter(target);
    } catch (const std::wstring& message) {
        return message;
    }
    return L"";
}

TEST(EntryFolders, HeldFoldersCannotBeRenamedOrRemovedUntilTheWalkLeavesThem) {
    TempDir dir;
    const std::wstring work = dir / L"work";
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    {
        EntryFolders folders(work);
        ASSERT_EQ(MessageOfEnter(folders, work + L"\\a\\b\\x.txt"), L"");
        ASSERT_EQ(MessageOfEnter(folders, work + L"\\a\\b\\y.txt"), L"");
        // Each of these would let a link take the folder's place.
        EXPECT_FALSE(MoveFileW(work.c_str(), (dir / L"moved").c_str()));
        EXPECT_FALSE(MoveFileW((work + L"\\a").c_str(), (work + L"\\moved").c_str()));
        EXPECT_FALSE(MoveFileW((work + L"\\a\\b").c_str(), (work + L"\\a\\moved").c_str()));
        EXPECT_FALSE(RemoveDirectoryW((work + L"\\a\\b").c_str()));

        // A sibling folder: `a\b` is released, `a` stays held.
        ASSERT_EQ(MessageOfEnter(folders, work + L"\\a\\c\\z.txt"), L"");
        EXPECT_TRUE(MoveFileW((work + L"\\a\\b").c_str(), (work + L"\\a\\b2").c_str()));
        EXPECT_FALSE(MoveFileW((work + L"\\a").c_str(), (work + L"\\moved").c_str()));

        // An entry at the top: only the work directory stays held.
        ASSERT_EQ(MessageOfEnter(folders, work + L"\\top.txt"), L"");
        EXPECT_TRUE(MoveFileW((work + L"\\a").c_str(), (work + L"\\a2").c_str()));
        EXPECT_FALSE(MoveFileW(work.c_str(), (dir / L"moved").c_str()));
    }
    EXPECT_TRUE(MoveFileW(work.c_str(), (dir / L"moved").c_str()));
}

TEST(EntryFolders, AFolderTheWalkComesBackToIsCheckedAnew) {
    TempDir work;
    EntryFolders folders(work.path());
    ASSERT_EQ(MessageOfEnter(folders, work / L"a\\b\\x.txt"), L"");
    ASSERT_EQ(MessageOfEnter(folders, work / L"c\\x.txt"), L"");
    // Released, so it can be swapped for a file in the meantime.
    ASSERT_TRUE(RemoveDirectoryW((work / L"a\\b").c_str()));
    testing::WriteBytes(work / L"a\\b", "planted");
    EXPECT_EQ(MessageOfEnter(folders, work / L"a\\b\\y.txt"), kUnsafeWorkDirectory);
    EXPECT_EQ(testing::ReadBytes(work / L"a\\b"), "planted");
}

}  // namespace
}  // namespace korvanthelm
