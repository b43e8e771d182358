// Launcher trees the packer refuses, and the limits of a tree: the path,
// file count and table size the bootstrapper accepts.
#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

struct HostileTree {
    const char* name;
    std::function<void(const std::string& tree)> make;
    int exit_code;
    const char* message;  // must appear in the one line on stderr
    // Why the Windows packer under Wine cannot be shown this tree (Wine gives
    // a Windows program another name or kind for it); null: it must refuse it
    // with the Linux packer's words.
    const char* not_under_wine = nullptr;
};

void MakeFifo(const std::string& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

// Two files, `first` and `second` (paths in the tree), as one tree maker.
std::function<void(const std::string&)> Files(std::string first, std::string second) {
    return [first, second](const std::string& t) {
        WriteFile(t + "/" + first, "1");
        WriteFile(t + "/" + second, "2");
    };
}

const HostileTree kHostileTrees[] = {
    {"DeviceName", [](const std::string& t) { WriteFile(t + "/bin/CON.txt", "x"); }, 1,
     "unsafe entry path (\"CON.txt\" is a Windows device name (\"CON\", whatever follows its "
     "first dot)): \"bin/CON.txt\""},
    // The Windows packer opens the folder by its exact name, trailing dot or
    // space kept, to find what is inside and refuse it with the same words.
    {"TrailingDotFolder", [](const std::string& t) { WriteFile(t + "/a./b", "x"); }, 1,
     "unsafe entry path (\"a.\" ends in a dot or a space, which Windows drops): \"a./b\""},
    {"TrailingSpaceFolder", [](const std::string& t) { WriteFile(t + "/a /b", "x"); }, 1,
     "unsafe entry path (\"a \" ends in a dot or a space, which Windows drops): \"a /b\""},
    {"TrailingSpaceBeforeExtension", [](const std::string& t) { WriteFile(t + "/foo .txt", "x"); },
     1,
     "unsafe entry path (\"foo .txt\" has a space before its first dot, which Windows drops when "
     "it looks for a device name (\"CON .txt\" is the console)): \"foo .txt\""},
    {"ForbiddenCharacter", [](const std::string& t) { WriteFile(t + "/what?.txt", "x"); }, 1,
     "unsafe entry path (\"what?.txt\" holds a character Windows forbids in a name"},
    {"ControlCharacter", [](const std::string& t) { WriteFile(t + "/tab\there", "x"); }, 1,
     "(\"tab\\x09here\" holds a character Windows forbids in a name (a control character or "
     "one of \\ : * ? \" < > |)): \"tab\\x09here\""},
    {"SymlinkToFile",
     [](const std::string& t) {
         WriteFile(t + "/real.txt", "x");
         ASSERT_EQ(::symlink("real.txt", (t + "/link.txt").c_str()), 0);
     },
     1, "symbolic link",
     "Wine shows a Linux link to a file as the file itself, with no reparse point"},
    {"SymlinkToFolderOutside",
     [](const std::string& t) { ASSERT_EQ(::symlink("/etc", (t + "/etc").c_str()), 0); }, 1,
     "\"etc\""},
    {"SymlinkToFolderInside",
     [](const std::string& t) {
         WriteFile(t + "/real/x.txt", "x");
         ASSERT_EQ(::symlink("real", (t + "/again").c_str()), 0);
     },
     1, "symbolic link in the tree (links are never followed): \"again\""},
    {"DanglingSymlink",
     [](const std::string& t) { ASSERT_EQ(::symlink("/nonexistent", (t + "/gone").c_str()), 0); },
     1, "symbolic link", "Wine leaves a dangling Linux link out of a folder's listing"},
    {"Fifo", [](const std::string& t) { MakeFifo(t + "/pipe"); }, 1, "special file",
     "a FIFO in a folder has no Windows counterpart, and Wine cannot examine one"},
    {"AsciiCaseDuplicates",
     [](const std::string& t) {
         WriteFile(t + "/Docs/Readme.txt", "1");
         WriteFile(t + "/docs/readme.TXT", "2");
     },
     1, "\"Docs/Readme.txt\""},
    // Names Windows folds into one beyond ASCII; the message names both.
    {"CyrillicCaseDuplicates", Files("Файл.txt", "файл.txt"), 1,
     "entry paths \"Файл.txt\" and \"файл.txt\" differ only in letter case"},
    {"GreekFinalSigma", Files("ΟΔΟΣ.txt", "οδος.txt"), 1,
     "entry paths \"ΟΔΟΣ.txt\" and \"οδος.txt\""},
    {"TitlecaseDigraph", Files("ǅ.txt", "ǆ.txt"), 1, "entry paths \"ǅ.txt\" and \"ǆ.txt\""},
    {"DeseretOutsideTheBmp", Files("\U00010400.txt", "\U00010428.txt"), 1,
     "entry paths \"\U00010400.txt\" and \"\U00010428.txt\""},
    {"FileBesideFolderOfOtherCase", Files("a", "A/b"), 1,
     "file \"a\" and folder \"A\" of \"A/b\" differ only in letter case"},
    {"FolderBesideFileOfOtherCase", Files("A", "a/b"), 1,
     "file \"A\" and folder \"a\" of \"a/b\" differ only in letter case"},
    {"CyrillicFileBesideDeepFolder", Files("Я/файл", "Я/Файл/x"), 1,
     "file \"Я/файл\" and folder \"Я/Файл\" of \"Я/Файл/x\""},
    // Unpacks on Windows, but as one folder where the tree has two.
    {"FolderSpelledTwoWays", Files("Dir/x", "dir/y"), 1,
     "folder \"Dir\" of \"Dir/x\" and folder \"dir\" of \"dir/y\" differ only in "
     "letter case, one folder on Windows"},
    {"InvalidUtf8Name", [](const std::string& t) { WriteFile(t + "/bad\xFF.txt", "x"); }, 1,
     "bad\\xff.txt", "Wine turns a Linux name that is not UTF-8 into a valid Windows name"},
    {"OverlongUtf8Name", [](const std::string& t) { WriteFile(t + "/slash\xC0\xAF", "x"); }, 1,
     "not valid UTF-8", "Wine turns a Linux name that is not UTF-8 into a valid Windows name"},
    {"PathOver1000Units",
     [](const std::string& t) {
         std::string path = t;
         for (int i = 0; i < 5; ++i) {
             path += "/" + std::string(200, 'd');
         }
         WriteFile(path + "/f", "x");
     },
     1, "unsafe entry path (1006 UTF-16 units, over the 1000 an entry path may have)"},
};

void PrintTo(const HostileTree& c, std::ostream* out) {
    *out << c.name;
}

class PackHostileTree : public testing::TestWithParam<HostileTree> {};

TEST_P(PackHostileTree, RefusedWithOneLineNamingThePath) {
    const HostileTree& c = GetParam();
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    c.make(tree);
    // An earlier package must survive a refused run untouched.
    WriteFile(dir / "package.bin", "previous package");

    const std::vector<std::string> args = {
        "pack", tree, "-o", dir / "package.bin", "--digests-cmake", dir / "digests.cmake"};
    const auto check_refused = [&](const RunResult& run, const char* packer) {
        EXPECT_EQ(run.exit_code, c.exit_code) << packer;
        EXPECT_EQ(LineCount(run.err), 1u) << packer << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << packer << ": " << run.err;
        EXPECT_EQ(run.out, "") << packer;
        EXPECT_EQ(S(ReadFile(dir / "package.bin")), "previous package") << packer;
        EXPECT_FALSE(std::filesystem::exists(dir / "digests.cmake")) << packer;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos)
                << packer << ": temporary file left behind: " << entry.path();
        }
    };
    const auto run = RunPacker(args);
    check_refused(run, "Linux packer");
    // The Windows packer, when this run has it, refuses the same tree in the
    // same words.
    if (c.not_under_wine == nullptr) {
        if (const auto windows = RunWindowsPacker(args)) {
            check_refused(*windows, "Windows packer");
            EXPECT_TRUE(SameRefusalText(run.err, windows->err))
                << "Linux:   " << run.err << "Windows: " << windows->err;
        }
    } else if (WindowsPackerGiven()) {
        GTEST_SKIP() << "not for the Windows packer under Wine: " << c.not_under_wine;
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, PackHostileTree, testing::ValuesIn(kHostileTrees),
                         [](const testing::TestParamInfo<HostileTree>& info) {
                             return std::string(info.param.name);
                         });

TEST(PackTreeLimits, EmptyFoldersAreDroppedWithAWarning) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    std::filesystem::create_directories(tree + "/logs/old/older");
    std::filesystem::create_directories(tree + "/KORVANTHELM/cache");
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The outermost empty folder is named once, not each folder inside it.
    EXPECT_EQ(LineCount(run.err), 2u) << run.err;
    EXPECT_NE(run.err.find("warning: empty folder dropped, a package holds files only: "
                           "\"KORVANTHELM/cache\""),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\"logs\"\n"), std::string::npos) << run.err;
    EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 3u);
}

// Near misses of the case-folding check: each tree packs, every file kept.
TEST(PackTreeLimits, NamesDistinctUnderSimpleFoldingPack) {
    const std::vector<std::function<void(const std::string&)>> kTrees = {
        Files("straße.txt", "strasse.txt"),  // only full folding makes "ß" "ss"
        Files("a", "ab/c"),                  // a name prefix, not a folder prefix
        Files("a.txt", "a/b"),
        Files("Dir/x", "Dir/y"),  // the same folder spelled the same way
        Files("Я/x", "Я/Y"),
    };
    for (std::size_t i = 0; i < kTrees.size(); ++i) {
        SCOPED_TRACE(i);
        const TempDir dir;
        const std::string tree = dir / "tree";
        AddDefaultLauncherFiles(tree);
        kTrees[i](tree);
        const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 5u);
    }
}

TEST(PackTreeLimits, TreeWithoutFilesIsRefused) {
    const TempDir dir;
    std::filesystem::create_directories(dir / "tree/only/folders");
    const auto run = RunPacker({"pack", dir / "tree", "-o", dir / "package.bin", "--launcher-exe",
                                dir / "tree", "--launcher-jar", dir / "tree"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("no files in"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "package.bin"));
}

TEST(PackTreeLimits, TenThousandFilesPassAndOneMoreIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    for (int i = 0; i < 9997; ++i) {
        const std::string folder = tree + "/d" + std::to_string(i / 1000);
        std::filesystem::create_directories(folder);
        const int fd = ::open((folder + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const auto fits = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    ASSERT_EQ(fits.exit_code, 0) << fits.err;
    EXPECT_EQ(EntriesOf(ReadFile(dir / "package.bin")).size(), 10000u);

    WriteFile(tree + "/one-more", "");
    const auto over = RunPacker({"pack", tree, "-o", dir / "over.bin"});
    EXPECT_EQ(over.exit_code, 1);
    EXPECT_NE(over.err.find("more than 10000 files"), std::string::npos) << over.err;
}

// Sparse files: no disk space, and nothing here may read them.
TEST(PackTreeLimits, TableOf2GiBFitsAndOneByteMoreIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/a", "");
    const std::string big = tree + "/big.bin";
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Header 10, record "a" 11, record "big.bin" 17 + data.
    const off_t exactly = 0x80000000 - 10 - 11 - 17;
    ASSERT_EQ(::ftruncate(fd, exactly), 0);
    EXPECT_EQ(ScanLauncherTree(tree).table_size, 0x80000000u);

    ASSERT_EQ(::ftruncate(fd, exactly + 1), 0);
    ::close(fd);
    EXPECT_THROW(ScanLauncherTree(tree), PackError);
    AddDefaultLauncherFiles(tree);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("package table over 0x80000000 bytes"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\"big.bin\""), std::string::npos) << run.err;
}

TEST(PackTreeLimits, PathOver65535BytesIsRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    // Built folder by folder: the whole path is far beyond PATH_MAX.
    int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string name(250, 'n');
    for (int depth = 0; depth < 263; ++depth) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    const int file = ::openat(fd, "f", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    ::close(file);
    ::close(fd);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("over 65535 bytes"), std::string::npos) << run.err.substr(0, 300);
    EXPECT_EQ(LineCount(run.err), 1u);
    // TempDir's removal works with whole paths, far too long here: take the
    // chain apart folder by folder.
    std::function<void(int, int)> remove = [&](int at, int depth) {
        const int inner = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(inner, 0);
        if (depth + 1 < 263) {
            remove(inner, depth + 1);
        } else {
            ::unlinkat(inner, "f", 0);
        }
        ::close(inner);
        ::unlinkat(at, name.c_str(), AT_REMOVEDIR);
    };
    const int root = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    remove(root, 0);
    ::close(root);
}

TEST(PackTreeLimits, OutputsInsideTheTreeAreRefused) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    for (const std::vector<std::string>& outputs :
         {std::vector<std::string>{"-o", tree + "/package.bin"},
          std::vector<std::string>{"-o", dir / "package.bin", "--digests-cmake",
                                   tree + "/sub/../digests.cmake"}}) {
        std::vector<std::string> args = {"pack", tree};
        args.insert(args.end(), outputs.begin(), outputs.end());
        const auto run = RunPacker(args);
        EXPECT_EQ(run.exit_code, 1) << outputs[1];
        EXPECT_NE(run.err.find("is inside the launcher tree"), std::string::npos) << run.err;
    }
    EXPECT_EQ(RunPacker({"pack", tree, "-o", dir / "tree-package.bin"}).exit_code, 0)
        << "a sibling whose name starts like the tree's is outside it";
}

// ---- Cheap checks before long work ---------------------------------------------

}  // namespace
}  // namespace korvanthelm::pack
