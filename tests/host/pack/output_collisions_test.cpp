// Two outputs, or an output and an input, that name one file however they
// are spelled are refused at once with nothing written; names that only look
// alike are two files and are written.
#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

// One file, spelled in every way a command line can: relative or absolute,
// with "." and ".." steps, through a link to its folder, existing or not yet.
// Every output option against every other output and input names the clash
// at once, and nothing is written (a package once lost this way:
// `pack T -o same.bin --digests-cmake ./same.bin` left the digests alone).
TEST(PackCheapChecks, OutputCollisionsHoweverSpelled) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/data.txt", test::WordSalad(6 << 20, 5));
    std::filesystem::create_directories(dir / "work/sub");
    std::filesystem::create_directory_symlink("sub", dir / "work/link");
    for (const char* existing : {"stub.exe", "package.bin", "launcher.exe", "d.cmake", "cert.pem",
                                 "key.pem", "old.bin", "sub/in.exe"}) {
        WriteFile(dir / (std::string("work/") + existing),
                  std::string("the only copy of ") + existing);
    }
    const std::string work = dir / "work";
    const std::string hex(64, 'a');

    // The spellings of "F" in the working folder, F not existing or existing.
    const auto spellings = [&](const std::string& f) {
        return std::vector<std::string>{f,
                                        "./" + f,
                                        "sub/../" + f,
                                        "link/../" + f,
                                        ".//" + f,
                                        work + "/" + f,
                                        work + "/sub/.." + "/" + f};
    };
    struct Case {
        std::vector<std::string> args;  // without the spelled pair
        std::string first;              // option spelled first
        std::string second;             // option spelled second
        std::string file;               // the one file, relative to the working folder
        std::string message;            // in the one line
    };
    const std::vector<std::string> package_build = {
        "build", "--stub", "stub.exe", "--launcher-exe-sha256", hex, "--launcher-jar-sha256", hex};
    const std::vector<Case> cases = {
        // Outputs of pack, none of them there yet.
        {{"pack", tree}, "-o", "--digests-cmake", "same.bin", "is also the --digests-cmake file"},
        {{"pack", tree}, "-o", "--digests-header", "same.bin", "is also the --digests-header file"},
        {{"pack", tree, "-o", "p.bin"},
         "--digests-cmake",
         "--digests-header",
         "d.txt",
         "refused: the --digests-cmake output"},
        // Through the link to the folder: sub/x and link/x are one file.
        {{"pack", tree},
         "-o",
         "--digests-cmake",
         "sub/new.bin",
         "is also the --digests-cmake file"},
        // An output that exists already.
        {{"pack", tree}, "-o", "--digests-cmake", "old.bin", "is also the --digests-cmake file"},
        // build's output against each input, and against the stub found
        // through a link to its folder.
        {{"build", tree, "--stub", "stub.exe"},
         "-o",
         "--launcher-exe",
         "launcher.exe",
         "is also the --launcher-exe file"},
        {{"build", tree}, "-o", "--stub", "stub.exe", "is also the --stub file"},
        {{"build", tree}, "-o", "--stub", "sub/in.exe", "is also the --stub file"},
        {{"build", tree, "--stub", "stub.exe", "--sign-command", "true"},
         "-o",
         "--launcher-jar",
         "cert.pem",
         "is also the --launcher-jar file"},
        {package_build, "-o", "--package", "package.bin", "is also the --package file"},
        {{"build", "--package", "package.bin", "--stub", "stub.exe"},
         "-o",
         "--digests",
         "d.cmake",
         "is also the --digests file"},
        {{"build", tree, "--stub", "stub.exe", "--sign-key", "key.pem"},
         "-o",
         "--sign-cert",
         "cert.pem",
         "is also the --sign-cert file"},
        {{"build", tree, "--stub", "stub.exe", "--sign-cert", "cert.pem"},
         "-o",
         "--sign-key",
         "key.pem",
         "is also the --sign-key file"},
    };
    // A progress line every millisecond: a refusal that came only after the
    // compression had started (seconds for the 6 MiB of text) shows one.
    const ScopedEnvironment progress("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING", "1");
    const std::map<std::string, std::string> before = Snapshot(dir.path());
    std::size_t runs = 0;
    for (const Case& c : cases) {
        const std::vector<std::string> names = spellings(c.file);
        for (std::size_t i = 0; i < names.size(); ++i) {
            for (std::size_t j = i; j < names.size(); ++j) {
                const std::string& a = names[i];
                const std::string& b = names[j];
                std::vector<std::string> args = c.args;
                args.insert(args.end(), {c.first, a, c.second, b});
                std::string joined;
                for (const std::string& arg : args) {
                    joined += arg + " ";
                }
                const auto run = RunPacker(args, work);
                ++runs;
                EXPECT_EQ(run.exit_code, 1) << joined << run.err;
                EXPECT_NE(run.err.find(c.message), std::string::npos) << joined << "\n" << run.err;
                EXPECT_EQ(LineCount(run.err), 1u) << joined << "\n" << run.err;
                EXPECT_EQ(run.err.find("compressing"), std::string::npos) << joined << "\n"
                                                                          << run.err;
                ASSERT_EQ(Snapshot(dir.path()), before) << joined;
            }
        }
    }
    // The same through the link to the folder, for a file inside it.
    for (const auto& [a, b] :
         {std::pair{"sub/x.bin", "link/x.bin"}, std::pair{"link/x.bin", "./sub/../link/x.bin"},
          std::pair{"link/old.bin", "sub/old.bin"}}) {
        if (std::string(a).ends_with("old.bin")) {
            WriteFile(work + "/sub/old.bin", "an old package");
        }
        const auto run = RunPacker({"pack", tree, "-o", a, "--digests-cmake", b}, work);
        EXPECT_EQ(run.exit_code, 1) << a << " " << b << ": " << run.err;
        EXPECT_NE(run.err.find("is also the --digests-cmake file"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(work + "/sub/x.bin"));
        ++runs;
    }
    EXPECT_GT(runs, 300u);
}

// Near misses: names that look alike but are two files are packed.
TEST(PackCheapChecks, DistinctOutputsThatLookAlikeAreWritten) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    std::filesystem::create_directories(dir / "work/sub");
    const std::string work = dir / "work";
    for (const auto& [a, b] :
         {std::pair{"same.bin", "./same.bin.cmake"}, std::pair{"sub/same.bin", "same.bin"},
          std::pair{"./Same.bin", "same.bin"}}) {
        const auto run = RunPacker({"pack", tree, "-o", a, "--digests-cmake", b}, work);
        EXPECT_EQ(run.exit_code, 0) << a << " " << b << ": " << run.err;
        EXPECT_EQ(S(ReadFile(work + "/" + a)).substr(0, 8), "KTSETUP1") << a;
        EXPECT_NE(S(ReadFile(work + "/" + b)).find("KORVANTHELM_PACKAGE_SHA256"),
                  std::string::npos);
        std::filesystem::remove(work + "/" + a);
        std::filesystem::remove(work + "/" + b);
    }
    // An output and an input on two file systems, each the first file of a
    // fresh tmpfs: one inode number, two files (the devices differ).
    const test::MountedTmpfs first(dir / "first", 1 << 20);
    const test::MountedTmpfs second(dir / "second", 1 << 20);
    if (!first.mounted() || !second.mounted()) {
        GTEST_SKIP() << "mount -t tmpfs needs root";
    }
    const std::string launcher = dir / "first/launcher.exe";
    const std::string output = dir / "second/package.bin";
    WriteFile(launcher, "a launcher on its own disk");
    WriteFile(output, "a package made before");
    struct stat launcher_status {};
    struct stat output_status {};
    ASSERT_EQ(::stat(launcher.c_str(), &launcher_status), 0);
    ASSERT_EQ(::stat(output.c_str(), &output_status), 0);
    if (launcher_status.st_ino != output_status.st_ino) {
        GTEST_SKIP() << "this kernel numbers the inodes of two tmpfs apart";
    }
    ASSERT_NE(launcher_status.st_dev, output_status.st_dev);
    const auto run = RunPacker({"pack", tree, "-o", output, "--launcher-exe", launcher});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(S(ReadFile(output)).substr(0, 8), "KTSETUP1");
    EXPECT_EQ(S(ReadFile(launcher)), "a launcher on its own disk");
}

}  // namespace
}  // namespace korvanthelm::pack
