// `verify --tree`: a package proven made from exactly a tree, or the first
// entry that differs named.
#include <filesystem>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "tests/host/pack/json_test_support.h"
#include "tests/host/pack/pack_test_common.h"
#include "tools/pack/compress/unpack_package.h"

namespace korvanthelm::pack {
namespace {

void MakeTree(const std::string& tree) {
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/a.txt", test::WordSalad(3000, 1));
    WriteFile(tree + "/b/c.txt", "c");
    WriteFile(tree + "/b/e.txt", "e");
}

// The same entries, stored instead of compressed: what another compressor
// (or none) could have made of the same tree.
Bytes StoredPackage(const Bytes& package) {
    const Bytes table = UnpackPackage(package);
    Bytes stream = format::MakeContainerHeader(5, table.size(), table.size());
    for (int shift = 0; shift < 32; shift += 8) {
        stream.push_back(static_cast<std::byte>((table.size() >> shift) & 0xFF));
    }
    stream.insert(stream.end(), table.begin(), table.end());
    return format::WritePackageEnvelope(table.size(), stream);
}

TEST(VerifyTree, FirstEntryThatDiffersIsNamed) {
    const TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(RunPacker({"pack", dir / "tree", "-o", dir / "p.bin", "--jobs", "1"}).exit_code, 0);
    const Bytes package = ReadFile(dir / "p.bin");
    WriteFile(dir / "stored.bin", StoredPackage(package));

    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::function<void(const std::string& tree)> change;
        std::string file;     // the package judged
        std::string refusal;  // empty: proven
    };
    const std::string p = dir / "p.bin";
    const std::vector<Case> cases = {
        {"the same tree", [](const std::string&) {}, p, ""},
        {"a file more", [](const std::string& t) { WriteFile(t + "/b/d.txt", "d"); }, p,
         "\"b/d.txt\" is in the tree but not in the package"},
        {"a file more at the end", [](const std::string& t) { WriteFile(t + "/z.txt", "z"); }, p,
         "\"z.txt\" is in the tree but not in the package"},
        {"a file less", [](const std::string& t) { fs::remove(t + "/b/c.txt"); }, p,
         "\"b/c.txt\" is in the package but not in the tree"},
        {"the last file less", [](const std::string& t) { fs::remove(t + "/b/e.txt"); }, p,
         "\"b/e.txt\" is in the package but not in the tree"},
        {"one byte other", [](const std::string& t) { WriteFile(t + "/b/c.txt", "C"); }, p,
         "\"b/c.txt\" has other bytes in the package than in the tree"},
        {"one byte more", [](const std::string& t) { WriteFile(t + "/b/e.txt", "ee"); }, p,
         "\"b/e.txt\" has other bytes in the package than in the tree"},
        {"renamed in place",
         [](const std::string& t) { fs::rename(t + "/b/c.txt", t + "/b/c2.txt"); }, p,
         "entry 5 is \"b/c.txt\" in the package and \"b/c2.txt\" in the tree"},
        // An added file holding the bytes of a file that stays is no rename:
        // the one it would replace is still in the tree.
        {"a file more with the bytes of a file that stays",
         [](const std::string& t) { WriteFile(t + "/b/b.txt", "c"); }, p,
         "\"b/b.txt\" is in the tree but not in the package"},
        {"renamed with other bytes",
         [](const std::string& t) {
             fs::remove(t + "/b/c.txt");
             WriteFile(t + "/b/c2.txt", "other");
         },
         p, "\"b/c2.txt\" is in the tree but not in the package"},
        {"the same entries compressed otherwise", [](const std::string&) {}, dir / "stored.bin",
         "every entry is the same, but the compressed bytes are not the ones this packer makes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = dir / "judged";
        fs::remove_all(tree);
        fs::copy(dir / "tree", tree, fs::copy_options::recursive);
        c.change(tree);
        const auto run = RunPacker({"verify", c.file, "--tree", tree, "--json"});
        if (c.refusal.empty()) {
            ASSERT_EQ(run.exit_code, 0) << run.err;
            EXPECT_NE(run.err.find("Tree: the package is exactly what this packer makes from \"" +
                                   tree + "\""),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(test::ParseJson(run.out).at("made_from_tree"), test::Quoted(tree));
        } else {
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, "korvanthelm-pack: " +
                                   std::string(c.refusal.rfind("every", 0) == 0
                                                   ? "not made by this packer from the tree \""
                                                   : "not made from the tree \"") +
                                   tree + "\": " + c.refusal +
                                   (c.refusal.rfind("every", 0) == 0
                                        ? " (another packer version or another compressor made "
                                          "them)\n"
                                        : "\n"));
            EXPECT_EQ(run.out, "");
        }
    }
}

TEST(VerifyTree, SameBytesForEveryJobsAndOnlyWithATree) {
    const TempDir dir;
    MakeTree(dir / "tree");
    WriteFile(dir / "tree/big.bin", test::RandomBytes(3 << 20, 7));
    ASSERT_EQ(RunPacker({"pack", dir / "tree", "-o", dir / "p.bin", "--jobs", "1"}).exit_code, 0);
    for (const char* jobs : {"1", "2", "5"}) {
        const auto run = RunPacker({"verify", dir / "p.bin", "--tree", dir / "tree", "-j", jobs});
        EXPECT_EQ(run.exit_code, 0) << jobs << ": " << run.err;
    }
    // Any job count without a tree is a mistake, one job included: the
    // option is refused for being given, not for its value.
    for (const std::vector<std::string>& option :
         std::vector<std::vector<std::string>>{{"-j", "1"}, {"--jobs", "1"}, {"--jobs", "2"}}) {
        SCOPED_TRACE(option[0] + " " + option[1]);
        const auto run = RunPacker({"verify", dir / "p.bin", option[0], option[1]});
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_NE(run.err.find("--jobs goes with --tree"), std::string::npos) << run.err;
        EXPECT_EQ(LineCount(run.err), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
}  // namespace korvanthelm::pack
