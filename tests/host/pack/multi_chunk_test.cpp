// A table over 64 MiB becomes several chunks: the first 64 MiB one LZMS
// block, the rest a short last chunk, stored here because it is noise, both
// compressed at once. Slow: the 64 MiB chunk alone takes the encoder tens of
// seconds.
#include <gtest/gtest.h>

#include <string>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "format/package_table.h"
#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/compress/unpack_package.h"

namespace korvanthelm::pack {
namespace {

TEST(PackMultiChunk, TableOver64MiBSplitsIntoChunksAndRoundTrips) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    constexpr std::size_t kMiB = 1 << 20;
    for (unsigned i = 0; i < 6; ++i) {
        test::WriteFile(tree + "/app/text" + std::to_string(i) + ".txt",
                        test::WordSalad(10 * kMiB, i));
    }
    // Sorts last, so the short last chunk is all noise and must be stored.
    test::WriteFile(tree + "/zz-noise.bin", test::RandomBytes(10 * kMiB, 99));

    // Two threads: the stored noise chunk is done long before the first one
    // and must wait for it.
    const auto run = test::RunPacker({"pack", tree, "-o", dir / "package.bin", "--jobs", "2"});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const std::vector<std::byte> package = test::ReadFile(dir / "package.bin");
    const auto envelope = format::ParsePackageEnvelope(package);
    ASSERT_TRUE(envelope);
    EXPECT_GT(envelope->unpacked_size, format::kLzmsChunkSize);
    const auto layout = format::ParseContainer(envelope->stream);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->chunk_size, format::kLzmsChunkSize);
    ASSERT_EQ(layout->chunks.size(), 2u);
    EXPECT_FALSE(layout->chunks[0].stored);
    EXPECT_EQ(layout->chunks[0].uncompressed_size, format::kLzmsChunkSize);
    EXPECT_TRUE(layout->chunks[1].stored);
    EXPECT_EQ(layout->chunks[1].uncompressed_size,
              envelope->unpacked_size - format::kLzmsChunkSize);

    // Independent of the packer's own check: decode and compare every file.
    const std::vector<std::byte> table = UnpackPackage(package);
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    std::size_t entries = 0;
    while (walker.Next(record)) {
        const std::string path(reinterpret_cast<const char*>(record.path.data()),
                               record.path.size());
        EXPECT_TRUE(test::ReadFile(tree + "/" + path) ==
                    std::vector<std::byte>(record.data.begin(), record.data.end()))
            << path;
        ++entries;
    }
    EXPECT_TRUE(walker.AtEnd());
    EXPECT_EQ(entries, 10u);
    EXPECT_EQ(test::RunPacker({"verify", dir / "package.bin"}).exit_code, 0);
}

}  // namespace
}  // namespace korvanthelm::pack
