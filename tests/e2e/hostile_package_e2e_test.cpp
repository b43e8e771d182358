// Every hostile package (see make_packages.py) against the real exe: the exact
// message, exit code 1, the set-up program never started, the work directory
// removed and nothing outside it created or changed.
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/common/hostile_package_cases.h"
#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

using test::HostilePackageCase;

std::wstring Widened(const char* ascii) {
    return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii));
}

class HostilePackageE2e : public E2eWorld,
                          public ::testing::WithParamInterface<HostilePackageCase> {};

TEST_P(HostilePackageE2e, RefusedWithItsMessageAndLeavesNothingBehind) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(Widened(GetParam().package)), Environment());
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{ToUtf8(GetParam().message)});
    EXPECT_TRUE(Reports().empty()) << "the set-up program ran";
    EXPECT_EQ(WorldSnapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostilePackageE2e,
                         ::testing::ValuesIn(test::HostilePackageCases()),
                         [](const ::testing::TestParamInfo<HostilePackageCase>& info) {
                             return std::string(info.param.package);
                         });

// Names that differ only in the case of Cyrillic letters are two entries;
// whether the file system takes both depends on how it folds case.
TEST_F(E2eWorld, CyrillicCasePairIsNotADuplicate) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(L"ok_cyrillic_case_pair"), Environment());
    if (run.exit_code == 0) {
        EXPECT_TRUE(run.messages.empty());
        EXPECT_EQ(Reports().size(), 1u);
        std::printf("file system keeps Cyrillic case apart: both files written\n");
    } else {
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.messages, std::vector<std::string>{ToUtf8(kWriteFailed)});
        std::printf("file system folds Cyrillic case: the second file is refused\n");
    }
    EXPECT_EQ(WorldSnapshot(), before);
}

}  // namespace
}  // namespace korvanthelm::testing
