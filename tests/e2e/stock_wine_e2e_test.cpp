// Wine's own cabinet.dll, which has no Compression API (nor has Windows before
// 8): what players under Wine and Proton get. The bootstrapper unpacks with its
// built-in decoder, and a stream that no decoder takes still ends with the
// decompression message and leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

TEST_F(E2eWorld, PackerMadeLzmsPackageUnpacksByteExactlyWithTheBuiltInDecoder) {
    if (!Exists(E2eExe(L"lzms_mixed"))) {
        GTEST_SKIP() << "built without the packer: no LZMS package";
    }
    const auto expected = Snapshot(E2eDirectory() + L"\\mixed-tree");
    ASSERT_EQ(expected.count(L"assets\\noise.bin"), 1u) << "the mixed tree is missing";
    const auto before = WorldSnapshot();
    TempDir copy;
    auto environment = Environment();
    environment.push_back({L"KORVANTHELM_PROBE_COPY", copy / L"tree"});
    const WatchedRun run = RunWatched(E2eExe(L"lzms_mixed"), environment);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(WorldSnapshot(), before) << "the work directory must be gone";
    EXPECT_EQ(Snapshot(copy / L"tree"), expected);
}

TEST_F(E2eWorld, StreamNoDecoderTakesFailsCleanly) {
    // The digest of each matches: only the decoders can refuse them.
    const wchar_t* const kPackages[] = {L"envelope_stream_garbage", L"envelope_stream_check_byte",
                                        L"envelope_size_more_than_stream",
                                        L"envelope_size_less_than_stream"};
    const auto before = WorldSnapshot();
    for (const wchar_t* package : kPackages) {
        const WatchedRun run = RunWatched(E2eExe(package), Environment());
        EXPECT_EQ(run.exit_code, 1u) << ToUtf8(package);
        EXPECT_EQ(run.messages, std::vector<std::string>{"Не удалось распаковать лаунчер."})
            << ToUtf8(package);
        EXPECT_EQ(WorldSnapshot(), before) << ToUtf8(package);
    }
    EXPECT_TRUE(Reports().empty()) << "the set-up program ran";
}

}  // namespace
}  // namespace korvanthelm::testing
