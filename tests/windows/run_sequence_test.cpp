// Pieces of the run sequence that the end-to-end tests cannot reach exactly:
// the temporary base folder, the bounded clean-up loop, the message texts.
#include "bootstrap/run_sequence.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "bootstrap/environment.h"
#include "tests/windows/test_support.h"

namespace korvanthelm {
namespace {

using testing::TempDir;

TEST(TemporaryBaseFolder, TrailingBackslashesGoWhateverIsLeft) {
    EXPECT_EQ(TemporaryBaseFolder(L"C:\\Temp"), L"C:\\Temp");
    EXPECT_EQ(TemporaryBaseFolder(L"C:\\Temp\\\\\\"), L"C:\\Temp");
    EXPECT_EQ(TemporaryBaseFolder(L"D:\\"), L"D:");
    EXPECT_EQ(TemporaryBaseFolder(L"\\\\\\"), L"");
    EXPECT_EQ(TemporaryBaseFolder(L"C:\\Temp/"), L"C:\\Temp/");
    // Empty TEMP: the platform's temporary path, without its backslash.
    wchar_t platform[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, platform);
    ASSERT_GT(length, 1u);
    EXPECT_EQ(TemporaryBaseFolder(L""), std::wstring(platform, length - 1));
}

// The boundary itself (32767 units kept, 32768 refused) cannot be seen under
// Wine 8: its GetEnvironmentVariableW hands a 32768-unit buffer at most 32766
// units of a longer value and reports success, where Windows reports the size
// needed. What is checked here is the reading itself and an unset variable.
TEST(ReadEnvironmentVariable, ValueOrEmptyText) {
    for (const std::size_t length : {std::size_t{1}, std::size_t{4000}, std::size_t{32766}}) {
        const std::wstring value(length, L'v');
        ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTHELM_TEST_VALUE", value.c_str()));
        EXPECT_EQ(ReadEnvironmentVariable(L"KORVANTHELM_TEST_VALUE"), value) << length;
    }
    SetEnvironmentVariableW(L"KORVANTHELM_TEST_VALUE", nullptr);
    EXPECT_EQ(ReadEnvironmentVariable(L"KORVANTHELM_TEST_VALUE"), L"");
}

class CleanUpLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        work_ = dir_ / L"work";
        testing::MakeDirectories(work_ + L"\\sub");
        testing::WriteBytes(work_ + L"\\sub\\busy.bin", "x");
        testing::WriteBytes(work_ + L"\\free.txt", "x");
    }
    void Hold() {
        held_ = CreateFileW((work_ + L"\\sub\\busy.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held_, INVALID_HANDLE_VALUE);
    }
    void Release() {
        if (held_ != INVALID_HANDLE_VALUE) {
            CloseHandle(held_);
            held_ = INVALID_HANDLE_VALUE;
        }
    }
    void TearDown() override { Release(); }

    TempDir dir_;
    std::wstring work_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
    std::vector<unsigned> sleeps_;
};

TEST_F(CleanUpLoopTest, RemovableDirectoryGoesWithoutAPause) {
    RemoveWorkDirectoryWithRetries(work_, [&](unsigned ms) { sleeps_.push_back(ms); });
    EXPECT_FALSE(testing::Exists(work_));
    EXPECT_TRUE(sleeps_.empty());
    RemoveWorkDirectoryWithRetries(work_, [&](unsigned ms) { sleeps_.push_back(ms); });
    EXPECT_TRUE(sleeps_.empty());
}

TEST_F(CleanUpLoopTest, HeldFileIsRetriedTwentyTimesThenLeftBehind) {
    Hold();
    RemoveWorkDirectoryWithRetries(work_, [&](unsigned ms) { sleeps_.push_back(ms); });
    EXPECT_EQ(sleeps_, std::vector<unsigned>(20, 500u));
    EXPECT_TRUE(testing::Exists(work_ + L"\\sub\\busy.bin"));
    EXPECT_FALSE(testing::Exists(work_ + L"\\free.txt"));
}

TEST_F(CleanUpLoopTest, FileReleasedBetweenPassesIsRemovedByTheNextPass) {
    Hold();
    RemoveWorkDirectoryWithRetries(work_, [&](unsigned ms) {
        sleeps_.push_back(ms);
        if (sleeps_.size() == 3) {
            Release();
        }
    });
    EXPECT_EQ(sleeps_.size(), 3u);
    EXPECT_FALSE(testing::Exists(work_));
}

TEST(LaunchFailureMessage, UnsignedDecimalCodeAndTheWorkDirectory) {
    EXPECT_EQ(LaunchFailureMessage(3221225477u, L"C:\\T\\korvanthelm-setup-0a"),
              L"Не удалось запустить лаунчер (код 3221225477): C:\\T\\korvanthelm-setup-0a. "
              L"Проверьте журнал защиты Windows и передайте разработчику имя обнаруженной угрозы.");
    const std::wstring largest = L"Не удалось запустить лаунчер (код 4294967295): X.";
    EXPECT_EQ(LaunchFailureMessage(0xFFFFFFFFu, L"X").substr(0, largest.size()), largest);
    const std::wstring zero = L"Не удалось запустить лаунчер (код 0): X.";
    EXPECT_EQ(LaunchFailureMessage(0, L"X").substr(0, zero.size()), zero);
}

}  // namespace
}  // namespace korvanthelm
