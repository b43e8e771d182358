// Inputs and outputs that are not ordinary files, and signals while an
// output is staged: refused or cleaned up, nothing left behind; and the
// files of a tree opened one after another, through the folders kept.
#include <cstring>

#include "tests/host/pack/pack_test_common.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/temporary_files.h"

namespace korvanthelm::pack {
namespace {

// Where a run reads or writes something that is not an ordinary file. Each
// row must end within seconds (a FIFO or /dev/zero used to hang the run), with
// one line naming the cause, the node untouched and no temporary file left.
struct HostileFile {
    const char* name;
    // Makes the node in `dir` and returns the command line; nullopt when this
    // machine cannot make it (a device node needs root).
    std::function<std::optional<std::vector<std::string>>(const TempDir& dir)> make;
    const char* node;     // the path in `dir` (or absolute) that must survive unchanged
    const char* message;  // in the one line on stderr
};

std::vector<std::string> PackTo(const TempDir& dir, std::vector<std::string> extra) {
    AddDefaultLauncherFiles(dir / "tree");
    std::vector<std::string> args = {"pack", dir / "tree"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void MakeNodeFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo " + path);
    }
}

const HostileFile
    kHostileFiles[] =
        {
            {"FifoToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"verify", d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            {"FifoToList",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"list", d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            // The stub is the first thing build reads.
            {"FifoAsStub",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return std::vector<std::string>{"build",       d / "tree", "-o",
                                                 d / "out.exe", "--stub",   d / "fifo"};
             },
             "fifo", "not a regular file: \""},
            {"FifoAsLauncherExe",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 MakeNodeFifo(d / "fifo");
                 return PackTo(d, {"-o", d / "package.bin", "--launcher-exe", d / "fifo"});
             },
             "fifo", "not a regular file: \""},
            {"DevZeroAsLauncherExe",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 return PackTo(d, {"-o", d / "package.bin", "--launcher-exe", "/dev/zero"});
             },
             "/dev/zero", "not a regular file: \"/dev/zero\""},
            // Sparse: 3 GiB that take no disk, and must not be read either.
            {"Sparse3GiBToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 WriteFile(d / "huge.exe", "MZ");
                 std::filesystem::resize_file(d / "huge.exe", std::uint64_t{3} << 30);
                 return std::vector<std::string>{"verify", d / "huge.exe"};
             },
             "huge.exe", "holds more than"},
            {"FolderToVerify",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 std::filesystem::create_directory(d / "folder");
                 return std::vector<std::string>{"verify", d / "folder"};
             },
             "folder", "not a regular file: \""},
            {"FifoAsOutput",
             [](
                 const TempDir& d) -> std::
                                       optional<std::vector<std::string>> {
                                           MakeNodeFifo(d / "fifo");
                                           return PackTo(d, {"-o", d / "fifo"});
                                       },
             "fifo", "exists and is not a regular file"},
            // The same node as /dev/full, made here so the real one is never at risk.
            {
                "DeviceNodeAsOutput",
                [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                    if (::mknod((d / "full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) {
                        return std::nullopt;
                    }
                    return PackTo(d, {"-o", d / "full"});
                },
                "full", "exists and is not a regular file"},
            // A link is replaced by the rename, never written through: refused too.
            {"LinkToDevFullAsOutput",
             [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                 if (::symlink("/dev/full", (d / "out.bin").c_str()) != 0) {
                     return std::nullopt;
                 }
                 return PackTo(d, {"-o", d / "out.bin"});
             },
             "out.bin", "exists and is not a regular file"},
            // The second output fails after the first is staged: neither is written.
            {
                "FifoAsDigestsFile",
                [](const TempDir& d) -> std::optional<std::vector<std::string>> {
                    MakeNodeFifo(d / "fifo");
                    return PackTo(d, {"-o", d / "package.bin", "--digests-cmake", d / "fifo"});
                },
                "fifo", "exists and is not a regular file"},
};

void PrintTo(const HostileFile& c, std::ostream* out) {
    *out << c.name;
}

class PackHostileFile : public testing::TestWithParam<HostileFile> {};

TEST_P(PackHostileFile, RefusedAtOnceWithOneLineAndNothingChanged) {
    const HostileFile& c = GetParam();
    const TempDir dir;
    const std::optional<std::vector<std::string>> args = c.make(dir);
    if (!args) {
        GTEST_SKIP() << "this machine cannot make the node (needs root)";
    }
    const std::string node = c.node[0] == '/' ? c.node : dir / c.node;
    struct stat before {};
    ASSERT_EQ(::lstat(node.c_str(), &before), 0);

    const auto started = std::chrono::steady_clock::now();
    const auto run = RunPacker(*args, ".", std::chrono::seconds(60));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(run.timed_out) << "hung";
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;

    struct stat after {};
    ASSERT_EQ(::lstat(node.c_str(), &after), 0) << "the node is gone";
    EXPECT_EQ(after.st_mode, before.st_mode) << "the node was replaced";
    EXPECT_EQ(after.st_ino, before.st_ino) << "the node was replaced";
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_FALSE(std::filesystem::exists(dir / "package.bin"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.exe"));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PackHostileFile, testing::ValuesIn(kHostileFiles),
                         [](const testing::TestParamInfo<HostileFile>& info) {
                             return std::string(info.param.name);
                         });

// The run that `signal_number` stops the moment its first temporary file
// appears in `out`; nullopt when the run ended before the signal landed.
std::optional<test::RunResult> StopWhenStaging(const std::string& tree, const std::string& out,
                                               int signal_number) {
    const UniqueFd watch(::inotify_init1(IN_CLOEXEC));
    if (!watch || ::inotify_add_watch(watch.get(), out.c_str(), IN_CREATE) < 0) {
        throw std::runtime_error("inotify");
    }
    test::PackerRun run({"pack", tree, "-o", out + "/package.bin"});
    alignas(inotify_event) char events[4096];
    for (bool seen = false; !seen;) {
        pollfd ready{watch.get(), POLLIN, 0};
        if (::poll(&ready, 1, /*timeout_ms=*/600'000) != 1) {
            throw std::runtime_error("no temporary file appeared");
        }
        const ssize_t got = ::read(watch.get(), events, sizeof(events));
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            seen = seen || std::string_view(event->name).find(".tmp-") != std::string::npos;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::kill(run.pid(), signal_number);
    test::RunResult result = run.Wait(std::chrono::seconds(120));
    if (result.exit_code == 0) {
        std::filesystem::remove(out + "/package.bin");
        return std::nullopt;
    }
    return result;
}

// A run stopped by SIGTERM, SIGINT or SIGHUP while its output is staged
// removes the temporary file and dies of that same signal, so a build system
// sees how it ended. The signal is sent the moment the temporary file
// appears; 16 MB of random data (stored, so written in full) keep it in
// place while it is written and flushed. A run that won the race is repeated.
TEST(PackSignals, StoppedWhileStagingLeavesNoTemporaryFile) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/data/random.bin", RandomBytes(std::size_t{16} << 20, /*seed=*/11));
    const std::string out = dir / "out";
    std::filesystem::create_directory(out);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        std::optional<test::RunResult> result;
        for (int attempt = 0; attempt < 3 && !result; ++attempt) {
            result = StopWhenStaging(tree, out, signal_number);
        }
        ASSERT_TRUE(result) << strsignal(signal_number) << " never landed while staging";
        EXPECT_EQ(result->signal, signal_number) << strsignal(signal_number) << result->err;
        EXPECT_TRUE(std::filesystem::is_empty(out))
            << strsignal(signal_number) << ": " << std::filesystem::directory_iterator(out)->path();
    }
}

// A forked child that exits runs the atexit handler it inherited; it must
// leave the temporary files of the process that made them alone.
TEST(PackSignals, ForkedChildKeepsItsParentsTemporaryFile) {
    const TempDir dir;
    const auto temporaries = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            found.push_back(entry.path().string());
        }
        return found;
    };
    {
        StagedFile staged(dir / "out.bin", B("staged"));
        ASSERT_EQ(temporaries().size(), 1u);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(temporaries().size(), 1u) << "the child removed its parent's file";
    }
    EXPECT_TRUE(temporaries().empty()) << "not removed without Commit()";
}

// A write that fails after the temporary file exists (the file size limit
// stands in for a full disk) fails the constructor, which must still remove
// the file: no destructor runs for an object whose constructor threw.
TEST(PackSignals, WriteFailureInsideTheConstructorLeavesNothing) {
    const TempDir dir;
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 4096;
    const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of death
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    try {
        StagedFile staged(dir / "out.bin", Bytes(std::size_t{1} << 20));
    } catch (const PackError& e) {
        error = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, previous_handler);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()))
        << std::filesystem::directory_iterator(dir.path())->path();
}

// Each branch of the temporary-file registry, in a forked child that ends as
// the row says (the registry's handlers are the child's own then): which of
// its files are left afterwards, and how it ended. Files: a, b, c.
TEST(TemporaryFileRegistry, EachBranchRemovesExactlyItsOwnFiles) {
    struct Case {
        const char* what;
        std::function<void(const std::string& dir)> child;  // the child's life, then exit(0)
        std::set<std::string> left;
        int signal;  // what ended the child; 0: it exited
    };
    const auto reg = [](const std::string& dir, const char* name) {
        WriteFile(dir + "/" + name, "x");
        RegisterTemporaryFile(dir + "/" + name);
    };
    const Case kCases[] = {
        {"registered files are removed at exit",
         [&](const std::string& d) {
             reg(d, "a");
             reg(d, "b");
         },
         {},
         0},
        {"an unregistered file is left (renamed into place)",
         [&](const std::string& d) {
             reg(d, "a");
             reg(d, "b");
             UnregisterTemporaryFile(d + "/a");
         },
         {"a"},
         0},
        {"a freed entry is reused, not an active one",
         [&](const std::string& d) {
             reg(d, "a");
             reg(d, "b");
             UnregisterTemporaryFile(d + "/a");
             reg(d, "c");
         },
         {"a"},
         0},
        {"an unknown path unregisters nothing",
         [&](const std::string& d) {
             reg(d, "a");
             UnregisterTemporaryFile(d + "/zzz");
             WriteFile(d + "/b", "not registered");
         },
         {"b"},
         0},
        {"a path given twice is unregistered once per call",
         [&](const std::string& d) {
             reg(d, "a");
             RegisterTemporaryFile(d + "/a");
             UnregisterTemporaryFile(d + "/a");
         },
         {},
         0},
        {"SIGTERM removes them and ends the child by SIGTERM",
         [&](const std::string& d) {
             reg(d, "a");
             ::raise(SIGTERM);
         },
         {},
         SIGTERM},
        {"SIGHUP ignored by whoever started us stays ignored",
         [&](const std::string& d) {
             ::signal(SIGHUP, SIG_IGN);
             reg(d, "a");
             ::raise(SIGHUP);
             UnregisterTemporaryFile(d + "/a");  // still running: the file stays
         },
         {"a"},
         0},
        {"a signal held while registering arrives once the file is listed",
         [&](const std::string& d) {
             WriteFile(d + "/a", "x");
             reg(d, "b");  // the handlers are in place
             const TemporaryFileSignalsHeld held;
             ::raise(SIGINT);
             RegisterTemporaryFile(d + "/a");
         },
         {},
         SIGINT},
        {"a grandchild's exit leaves its parent's files",
         [&](const std::string& d) {
             reg(d, "a");
             const pid_t grandchild = ::fork();
             if (grandchild == 0) {
                 std::exit(0);
             }
             ::waitpid(grandchild, nullptr, 0);
             UnregisterTemporaryFile(d + "/a");
         },
         {"a"},
         0},
    };
    for (const Case& c : kCases) {
        const TempDir dir;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            c.child(dir.path());
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (c.signal == 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": " << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal)
                << c.what << ": " << status;
        }
        std::set<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            left.insert(entry.path().filename().string());
        }
        EXPECT_EQ(left, c.left) << c.what;
    }
}

// ---- Command line ---------------------------------------------------------------

// A launcher file read into the table must end exactly where its entry does:
// one that turns out longer or shorter than it was when examined changed
// while being packed, and the package would not hold what was digested.
// Two outputs of which nothing exists yet are one file however they are
// spelled: relative or absolute, with "./", "..", doubled slashes or a link
// to their folder. ("same.bin" against "./same.bin" once lost a package under
// its digests file.)
TEST(PackOutputSpellings, OneFutureFileHoweverSpelled) {
    const TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    std::filesystem::create_directory_symlink(dir / "sub", dir / "link");
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir / "sub");
    struct Case {
        std::string a, b;
        bool one;
    };
    const Case cases[] = {
        {"same.bin", "./same.bin", true},
        {"same.bin", ".//same.bin", true},
        {"same.bin", "../sub/same.bin", true},
        {"same.bin", dir / "sub/same.bin", true},
        {"same.bin", dir / "link/same.bin", true},
        {"./same.bin", dir / "sub/../sub/same.bin", true},
        {"new/same.bin", "./new/../new/same.bin", true},
        {"same.bin", "same.bin2", false},
        {"same.bin", "../same.bin", false},
        {"same.bin", "./Same.bin", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PathsNameOneFile(c.a, c.b), c.one) << c.a << " against " << c.b;
        EXPECT_EQ(PathsNameOneFile(c.b, c.a), c.one) << c.b << " against " << c.a;
    }
    std::filesystem::current_path(before);
}

TEST(PackReadExactly, TellsExactFromShorterAndLonger) {
    const TempDir dir;
    WriteFile(dir / "ten.bin", "0123456789");
    const struct {
        std::size_t wanted;
        ExactRead expected;
    } kCases[] = {{10, ExactRead::kRead},
                  {9, ExactRead::kLonger},
                  {11, ExactRead::kShorter},
                  {0, ExactRead::kLonger}};
    for (const auto& c : kCases) {
        int error = 0;
        const UniqueFd folder = OpenFolder(dir.path(), error);
        ASSERT_TRUE(folder);
        const UniqueFd file = OpenFileInside(folder, "ten.bin", error);
        ASSERT_TRUE(file);
        std::vector<std::byte> out(c.wanted);
        EXPECT_EQ(ReadExactly(file, out, error), c.expected) << c.wanted;
        if (c.expected == ExactRead::kRead) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()),
                      "0123456789");
        }
    }
}

// The files of a tree opened one after another through one FilesBelow, as
// the package table is built: the folders kept from the file before must be
// the right ones whichever way the next path differs (a sibling folder whose
// name starts alike, the same names below another folder, a shallower or a
// deeper file, a way that failed), and nothing on the way is followed as a
// link, also one put in place of a folder already held.
TEST(PackFilesBelow, EachFileIsTheOneItsPathNames) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/a/b/c.txt", "a/b/c");
    WriteFile(tree + "/a/b/d.txt", "a/b/d");
    WriteFile(tree + "/a/b2/c.txt", "a/b2/c");
    WriteFile(tree + "/a/bb/c.txt", "a/bb/c");
    WriteFile(tree + "/a/c.txt", "a/c");
    WriteFile(tree + "/x/b/c.txt", "x/b/c");
    WriteFile(tree + "/c.txt", "c");
    WriteFile(dir / "outside/c.txt", "outside");
    ASSERT_EQ(::symlink("b", (tree + "/a/link").c_str()), 0);
    int error = 0;
    const UniqueFd root = OpenFolder(tree, error);
    ASSERT_TRUE(root);
    FilesBelow files(root);
    const auto read = [&](const UniqueFd& fd) {
        std::vector<std::byte> bytes(64);
        std::size_t got = 0;
        for (std::size_t n; (n = ReadSomeOf(fd, std::span(bytes).subspan(got), "file")) > 0;) {
            got += n;
        }
        return std::string(reinterpret_cast<const char*>(bytes.data()), got);
    };
    struct Case {
        const char* path;
        const char* content;  // null: refused with `error`
        int error;            // kLinkRefused: ELOOP or ENOTDIR, as Linux says it
    };
    constexpr int kLinkRefused = -1;
    const auto refused = [](int error, int expected) {
        return expected == kLinkRefused ? error == ELOOP || error == ENOTDIR : error == expected;
    };
    const Case kCases[] = {
        {"a/b/c.txt", "a/b/c", 0},
        {"a/b/d.txt", "a/b/d", 0},    // the same folders
        {"a/b2/c.txt", "a/b2/c", 0},  // a sibling whose name starts alike
        {"a/bb/c.txt", "a/bb/c", 0},
        {"a/c.txt", "a/c", 0},      // shallower
        {"x/b/c.txt", "x/b/c", 0},  // the same names below another folder
        {"c.txt", "c", 0},          // in the root
        {"a/b/c.txt", "a/b/c", 0},  // back into folders let go
        {"a/missing/c.txt", nullptr, ENOENT},
        {"a/b/c.txt", "a/b/c", 0},  // after a way that failed
        {"a/b/c.txt/d", nullptr, ENOTDIR},
        {"a/link/c.txt", nullptr, kLinkRefused},  // a link on the way is refused
        {"a/b/d.txt", "a/b/d", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        const UniqueFd fd = files.Open(c.path, error);
        if (c.content == nullptr) {
            EXPECT_FALSE(fd);
            EXPECT_TRUE(refused(error, c.error)) << std::strerror(error);
        } else {
            ASSERT_TRUE(fd) << std::strerror(error);
            EXPECT_EQ(read(fd), c.content);
        }
    }
    // The folder held for a/b/d.txt swapped for a link out of the tree: the
    // next file is read from the folder held, or refused, never through it.
    std::filesystem::rename(tree + "/a/b", dir / "moved");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (tree + "/a/b").c_str()), 0);
    const UniqueFd swapped = files.Open("a/b/c.txt", error);
    if (swapped) {
        EXPECT_EQ(read(swapped), "a/b/c");
    }
    EXPECT_FALSE(OpenFileBelow(root, "a/b/c.txt", error)) << "a fresh walk meets the link";
    EXPECT_TRUE(refused(error, kLinkRefused)) << std::strerror(error);
}

}  // namespace
}  // namespace korvanthelm::pack
