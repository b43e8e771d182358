// A system without the Compression API's decompressor (Wine's own
// cabinet.dll lacks it): the run ends with the decompression message instead
// of a crash, and leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

TEST_F(E2eWorld, WithoutTheSystemDecompressorTheRunFailsCleanly) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(L"ok_probe"), Environment());
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{"Не удалось распаковать лаунчер."});
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(WorldSnapshot(), before);
}

}  // namespace
}  // namespace korvanthelm::testing
