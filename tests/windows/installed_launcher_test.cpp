// The installed launcher check on a real file system: the record and build
// mark as files in their many forms, the order of the checks (through the
// digest seam), and the start.
#include "bootstrap/installed_launcher.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "bootstrap/text_file.h"
#include "platform/sha256.h"
#include "tests/windows/test_support.h"

namespace korvanthelm {
namespace {

using testing::TempDir;
using testing::WriteBytes;

// Digests of these contents are the test build's LauncherExeDigest and
// LauncherJarDigest (tests/windows/test_digests.cpp).
constexpr char kExe[] = "launcher exe";
constexpr char kJar[] = "launcher jar";
constexpr char kJarDigest[] = "a6d8f81a671d77d7b04824b81f0f276af59b69baf600d026426c9d6011943878";

// An intact installation under <root>\Программы\Launcher, recorded in
// <root>\Roaming\KORVANTHELM\launcher.path.
class InstalledLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app_data_ = root_ / L"Roaming";
        folder_ = root_ / L"Программы\\Launcher";
        exe_ = folder_ + L"\\KorvanThelmLauncher.exe";
        testing::MakeDirectories(app_data_ + L"\\KORVANTHELM");
        testing::MakeDirectories(folder_ + L"\\app");
        WriteBytes(exe_, kExe);
        WriteBytes(folder_ + L"\\app\\KorvanThelm.jar", kJar);
        WriteBytes(folder_ + L"\\app\\launcher.build", kJarDigest);
        WriteRecord(testing::ToUtf8(exe_));
    }
    void WriteRecord(const std::string& bytes) {
        WriteBytes(app_data_ + L"\\KORVANTHELM\\launcher.path", bytes);
    }
    // Runs the check with the real digests and a recorded, successful start.
    bool Check() {
        hashed_.clear();
        started_.clear();
        InstalledLauncherServices services;
        services.file_matches_digest = [this](const std::wstring& path, const wchar_t* expected) {
            hashed_.push_back(path);
            return FileMatchesDigest(path, expected);
        };
        services.start_process = [this](const std::wstring& application,
                                        const std::wstring& argument, bool wait) {
            started_.push_back(application + L"|" + argument + (wait ? L"|wait" : L"|nowait"));
            return start_result_;
        };
        return TryStartInstalledLauncher(app_data_, services);
    }

    TempDir root_;
    std::wstring app_data_, folder_, exe_;
    std::vector<std::wstring> hashed_, started_;
    std::uint32_t start_result_ = 0;
};

TEST_F(InstalledLauncherTest, IntactInstallationIsStartedWithoutArgumentsOrWaiting) {
    EXPECT_TRUE(Check());
    EXPECT_EQ(hashed_, (std::vector<std::wstring>{exe_, folder_ + L"\\app\\KorvanThelm.jar"}));
    EXPECT_EQ(started_, std::vector<std::wstring>{exe_ + L"||nowait"});
}

TEST_F(InstalledLauncherTest, RecordForms) {
    const std::string path = testing::ToUtf8(exe_);
    std::string utf16;
    for (const wchar_t unit : exe_) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    std::string forward = path;
    for (char& c : forward) {
        c = c == '\\' ? '/' : c;
    }
    const struct {
        const char* what;
        std::string record;
        bool starts;
    } kCases[] = {
        {"plain", path, true},
        {"BOM and CRLF", "\xEF\xBB\xBF" + path + "\r\n", true},
        {"trailing spaces, CR and LF in any mix", path + " \n\r \r\n", true},
        {"only the first 8192 bytes count",
         path + std::string(8192 - path.size(), ' ') + "anything after the limit", true},
        {"empty", "", false},
        {"only a BOM and a line end", "\xEF\xBB\xBF\r\n", false},
        {"ends in a tab", path + "\t", false},
        {"wrapped in quotes", "\"" + path + "\"", false},
        {"leading space", " " + path, false},
        {"forward slashes only", forward, false},
        {"UTF-16", "\xFF\xFE" + utf16, false},
        {"names a missing file", path + ".old", false},
        {"names a folder", testing::ToUtf8(folder_), false},
    };
    for (const auto& c : kCases) {
        WriteRecord(c.record);
        EXPECT_EQ(Check(), c.starts) << c.what;
    }
}

TEST_F(InstalledLauncherTest, NoRecordFile) {
    DeleteFileW((app_data_ + L"\\KORVANTHELM\\launcher.path").c_str());
    EXPECT_FALSE(Check());
    EXPECT_TRUE(hashed_.empty());
}

TEST_F(InstalledLauncherTest, RecordHeldOpenForWritingCountsAsMissing) {
    const HANDLE writer =
        CreateFileW((app_data_ + L"\\KORVANTHELM\\launcher.path").c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Check());
    CloseHandle(writer);
    EXPECT_TRUE(Check());
}

TEST_F(InstalledLauncherTest, BuildMarkIsComparedUnitForUnitBeforeAnythingIsHashed) {
    std::string upper = kJarDigest;
    for (char& c : upper) {
        c = static_cast<char>(toupper(c));
    }
    const struct {
        const char* what;
        std::string mark;
        bool starts;
    } kCases[] = {
        {"exact", kJarDigest, true},
        {"trailing spaces, CR, LF", std::string(kJarDigest) + "  \r\n\n", true},
        {"with a BOM", std::string("\xEF\xBB\xBF") + kJarDigest, true},
        {"upper case", upper, false},
        {"leading space", std::string(" ") + kJarDigest, false},
        {"trailing tab", std::string(kJarDigest) + "\t", false},
        {"63 characters", std::string(kJarDigest, 63), false},
        {"another build's mark", std::string(64, 'a'), false},
    };
    for (const auto& c : kCases) {
        WriteBytes(folder_ + L"\\app\\launcher.build", c.mark);
        EXPECT_EQ(Check(), c.starts) << c.what;
        if (!c.starts) {
            EXPECT_TRUE(hashed_.empty()) << c.what << ": a foreign installation was hashed";
        }
    }
    DeleteFileW((folder_ + L"\\app\\launcher.build").c_str());
    EXPECT_FALSE(Check());
    EXPECT_TRUE(hashed_.empty());
}

TEST_F(InstalledLauncherTest, ExeIsHashedBeforeTheJarAndEitherMismatchFallsBack) {
    WriteBytes(exe_, "tampered exe");
    EXPECT_FALSE(Check());
    EXPECT_EQ(hashed_, std::vector<std::wstring>{exe_});
    WriteBytes(exe_, kExe);
    WriteBytes(folder_ + L"\\app\\KorvanThelm.jar", "tampered jar");
    EXPECT_FALSE(Check());
    EXPECT_EQ(hashed_.size(), 2u);
    DeleteFileW((folder_ + L"\\app\\KorvanThelm.jar").c_str());
    EXPECT_FALSE(Check());
    EXPECT_TRUE(started_.empty());
}

// A record naming a folder whose parent holds a valid build mark gets past
// the mark and is refused by the executable's digest, never earlier.
TEST_F(InstalledLauncherTest, RecordNamingAFolderFailsAtTheExecutableDigest) {
    for (const std::wstring& record : {folder_ + L"\\app", folder_ + L"\\"}) {
        WriteRecord(testing::ToUtf8(record));
        EXPECT_FALSE(Check()) << testing::ToUtf8(record);
        EXPECT_EQ(hashed_, std::vector<std::wstring>{record}) << testing::ToUtf8(record);
        EXPECT_TRUE(started_.empty());
    }
}

TEST_F(InstalledLauncherTest, FailedStartFallsBackSilently) {
    start_result_ = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(Check());
    EXPECT_EQ(started_.size(), 1u);
}

TEST_F(InstalledLauncherTest, FailingSha256ServicePassesItsMessageThrough) {
    InstalledLauncherServices services;
    services.file_matches_digest = [](const std::wstring&, const wchar_t*) -> bool {
        throw std::wstring(kSha256Unavailable);
    };
    services.start_process = [](const std::wstring&, const std::wstring&, bool) {
        return std::uint32_t{0};
    };
    try {
        TryStartInstalledLauncher(app_data_, services);
        FAIL() << "no failure";
    } catch (const std::wstring& message) {
        EXPECT_EQ(message, kSha256Unavailable);
    }
}

TEST(ReadUtf8TextFile, TrimsOnlyLineEndsAndSpacesAndNeverFails) {
    TempDir dir;
    const struct {
        const char* what;
        std::string bytes;
        std::wstring text;
    } kCases[] = {
        {"empty file", "", L""},
        {"BOM only", "\xEF\xBB\xBF", L""},
        {"BOM not at the start stays", "a\xEF\xBB\xBF", L"a\xFEFF"},
        {"Cyrillic", "Путь\r\n", L"Путь"},
        {"tab and leading space stay", " a\t \n", L" a\t"},
        {"malformed UTF-8 becomes a replacement character", "a\xFF", L"a\xFFFD"},
        {"8192-byte limit", std::string(8192, 'x') + "y", std::wstring(8192, L'x')},
    };
    for (const auto& c : kCases) {
        WriteBytes(dir / L"f.txt", c.bytes);
        EXPECT_EQ(ReadUtf8TextFile(dir / L"f.txt"), c.text) << c.what;
    }
    EXPECT_EQ(ReadUtf8TextFile(dir / L"missing.txt"), L"");
    EXPECT_EQ(ReadUtf8TextFile(dir.path()), L"");
}

TEST(LauncherFolder, UpToTheLastBackslashOnly) {
    EXPECT_EQ(LauncherFolder(L"C:\\a\\b\\x.exe"), L"C:\\a\\b");
    EXPECT_EQ(LauncherFolder(L"C:/a/b/x.exe"), L"C:/a/b/x.exe");
    EXPECT_EQ(LauncherFolder(L"x.exe"), L"x.exe");
}

}  // namespace
}  // namespace korvanthelm
