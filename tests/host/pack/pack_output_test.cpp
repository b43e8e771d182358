// What korvanthelm-pack prints for machines: the --json documents read back
// with a strict parser, and --strict.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/host/pack/json_test_support.h"
#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

using test::ParseJson;
using test::Quoted;
using test::RunPacker;
using test::TempDir;
using test::WriteFile;

bool Exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::string Digest(const std::string& path) {
    return Quoted(Sha256Text(test::ReadFile(path)));
}

std::string Size(const std::string& path) {
    return std::to_string(test::ReadFile(path).size());
}

// The stub of this version, when the Windows side was built (or
// KORVANTHELM_TEST_STUB names one): build needs it.
std::optional<std::string> TestStub() {
    const char* const given = std::getenv("KORVANTHELM_TEST_STUB");
    const std::string stub = given != nullptr ? given : KORVANTHELM_BUILT_STUB;
    return Exists(stub) ? std::optional<std::string>(stub) : std::nullopt;
}

// A tree with the launcher files, a non-ASCII name and an empty folder (one
// warning); `extra` adds one more file.
void MakeTree(const std::string& tree, const std::string& extra = {}) {
    test::AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/Файл ü.txt", "x");
    ::mkdir((tree + "/empty").c_str(), /*mode=*/0755);
    if (!extra.empty()) {
        WriteFile(tree + "/" + extra, "long");
    }
}

struct JsonCase {
    std::string what;
    std::vector<std::string> args;
    // Leaves the document must hold (ParseJson's paths and values).
    std::map<std::string, std::string> leaves;
};

// Runs each case: exit 0, standard output exactly one document holding the
// leaves, the text for people on standard error.
void ExpectDocuments(const std::vector<JsonCase>& cases) {
    for (const JsonCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto run = RunPacker(c.args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto leaves = ParseJson(run.out);
        for (const auto& [path, value] : c.leaves) {
            const auto found = leaves.find(path);
            ASSERT_NE(found, leaves.end()) << path << " missing in\n" << run.out;
            EXPECT_EQ(found->second, value) << path;
        }
    }
}

TEST(PackJson, EveryCommandPrintsOneDocumentWithItsFields) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    MakeTree(tree);
    const std::string exe = Digest(tree + "/KORVANTHELM/launcher/KorvanThelmLauncher.exe");
    const std::string jar = Digest(tree + "/KORVANTHELM/launcher/app/KorvanThelm.jar");
    const auto pack = RunPacker(
        {"pack", tree, "-o", dir / "p.bin", "--json", "--digests-cmake", dir / "d.cmake"});
    ASSERT_EQ(pack.exit_code, 0) << pack.err;
    // The text people read moved to standard error, unchanged.
    EXPECT_NE(pack.err.find("\nLauncherExeDigest " + exe.substr(1, 64) + "\n"), std::string::npos)
        << pack.err;
    const std::string package = Digest(dir / "p.bin");
    const std::string size = Size(dir / "p.bin");
    std::vector<JsonCase> cases = {
        {"pack",
         {"pack", tree, "-o", dir / "p2.bin", "--json"},
         {{"{}",
           "command,package_file,package_digest,launcher_exe_digest,launcher_jar_digest,"
           "entry_count,unpacked_size,package_size,warnings"},
          {"command", Quoted("pack")},
          {"package_file", Quoted(dir / "p2.bin")},
          {"package_digest", package},
          {"launcher_exe_digest", exe},
          {"launcher_jar_digest", jar},
          {"entry_count", "4"},
          {"package_size", size},
          {"warnings#", "1"},
          {"warnings/0/kind", Quoted("empty_folder_dropped")},
          {"warnings/0/path", Quoted("empty")}}},
        {"list",
         {"list", "--json", dir / "p.bin"},
         {{"command", Quoted("list")},
          {"file", Quoted(dir / "p.bin")},
          {"package_digest", package},
          {"entry_count", "4"},
          {"package_size", size},
          {"entries#", "4"},
          {"entries/0/path", Quoted("KORVANTHELM/KORVANTHELM.exe")},
          {"entries/0/size", "68"},
          {"entries/3/path", Quoted("Файл ü.txt")},
          {"entries/3/size", "1"},
          {"warnings#", "0"}}},
        {"verify of a package",
         {"verify", dir / "p.bin", "--json"},
         {{"command", Quoted("verify")},
          {"ok", "true"},
          {"refusal", "null"},
          {"file_kind", Quoted("package")},
          {"package_digest", package},
          {"launcher_exe_digest", "null"},
          {"entry_count", "4"},
          {"pe_files/count", "1"},
          {"pe_files/unsigned#", "1"},
          {"signed", "false"},
          {"signature", "null"},
          {"warnings#", "0"}}},
    };
    const std::optional<std::string> stub = TestStub();
    if (stub) {
        cases.push_back({"build from the package and pack's digests file",
                         {"build", "--package", dir / "p.bin", "--digests", dir / "d.cmake", "-o",
                          dir / "k.exe", "--stub", *stub, "--json"},
                         {{"command", Quoted("build")},
                          {"exe_file", Quoted(dir / "k.exe")},
                          {"package_digest", package},
                          {"launcher_exe_digest", exe},
                          {"launcher_jar_digest", jar},
                          {"verified", "true"},
                          {"entry_count", "4"},
                          {"package_size", size},
                          {"signed", "false"},
                          {"signature", "null"},
                          {"warnings#", "0"}}});
        cases.push_back({"verify of the executable",
                         {"verify", dir / "k.exe", "--json", "--stub", *stub},
                         {{"file_kind", Quoted("executable")},
                          {"ok", "true"},
                          {"executable_check", Quoted("stub_and_package")},
                          {"package_digest", package},
                          {"launcher_exe_digest", exe},
                          {"launcher_jar_digest", jar},
                          {"signed", "false"}}});
    }
    ExpectDocuments(cases);
    if (stub) {
        EXPECT_EQ(
            Size(dir / "k.exe"),
            ParseJson(RunPacker({"build", "--package", dir / "p.bin", "--digests", dir / "d.cmake",
                                 "-o", dir / "k2.exe", "--stub", *stub, "--json"})
                          .out)
                .at("exe_size"));
        const auto run = RunPacker({"verify", *stub});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find("is the KORVANTHELM stub (version"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("carries no package"), std::string::npos) << run.err;
    } else {
        std::puts(
            "build's rows skipped: no stub (build the Windows side or set "
            "KORVANTHELM_TEST_STUB)");
    }
}

// A warning fails the run under --strict, before anything is written; without
// it the same run succeeds and says it.
TEST(PackJson, StrictTurnsEveryWarningIntoARefusal) {
    const TempDir dir;
    // A file path of 160 UTF-16 units: 260 with the typical work directory.
    const std::string long_name(kMaxFilePathUnits - kTypicalWorkDirectoryUnits, 'a');
    MakeTree(dir / "long", long_name);
    ::rmdir((dir / "long/empty").c_str());
    MakeTree(dir / "empty");
    ASSERT_EQ(RunPacker({"pack", dir / "long", "-o", dir / "long.bin"}).exit_code, 0);
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* err;     // in standard error
        std::string output;  // written only on success; empty: none
    };
    std::vector<Case> cases = {
        {{"pack", dir / "long", "-o", dir / "a.bin"}, 0, "warning: 1 of 5 entries", dir / "a.bin"},
        {{"pack", dir / "long", "-o", dir / "b.bin", "--strict"},
         1,
         "refused (--strict): 1 of 5 entries would pass Windows' classic path limit",
         dir / "b.bin"},
        {{"pack", dir / "long", "-o", dir / "c.bin", "--strict", "--digests-cmake",
          dir / "c.cmake"},
         1,
         "refused (--strict)",
         dir / "c.cmake"},
        {{"pack", dir / "empty", "-o", dir / "d.bin", "--strict"},
         1,
         "refused (--strict): empty folder dropped",
         dir / "d.bin"},
        {{"list", dir / "long.bin"}, 0, "warning: 1 of 5 entries", {}},
        {{"list", dir / "long.bin", "--strict"}, 1, "refused (--strict): 1 of 5", {}},
        {{"verify", "--strict", dir / "long.bin"}, 1, "refused (--strict): 1 of 5", {}},
        {{"verify", "--json", "--strict", dir / "long.bin"}, 1, "refused (--strict)", {}},
    };
    if (const std::optional<std::string> stub = TestStub()) {
        cases.push_back({{"build", dir / "long", "-o", dir / "e.exe", "--stub", *stub},
                         0,
                         "warning: 1 of 5",
                         dir / "e.exe"});
        cases.push_back({{"build", dir / "long", "-o", dir / "f.exe", "--stub", *stub, "--strict"},
                         1,
                         "refused (--strict): 1 of 5",
                         dir / "f.exe"});
    }
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        SCOPED_TRACE(joined);
        const auto run = RunPacker(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        if (c.exit_code != 0) {
            EXPECT_EQ(run.out, "") << "no document, no verdict";
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
        if (!c.output.empty()) {
            EXPECT_EQ(Exists(c.output), c.exit_code == 0);
        }
    }
    const auto json = RunPacker({"verify", dir / "long.bin", "--json"});
    const auto leaves = ParseJson(json.out);
    EXPECT_EQ(leaves.at("warnings#"), "1");
    EXPECT_EQ(leaves.at("warnings/0/kind"), Quoted("long_path"));
    EXPECT_EQ(leaves.at("warnings/0/path"), Quoted(long_name));
}

// build --package with the digests given by hand or by pack's files: a pair
// from another tree or swapped is said (or refused under --strict), a
// digests file of another package is refused; every refusal of a signing
// command names it; a successful build into a log ends with its summary.
TEST(PackJson, BuildWithAPackageJudgesItsDigests) {
    const std::optional<std::string> stub = TestStub();
    if (!stub) {
        GTEST_SKIP() << "no stub: build the Windows side or set KORVANTHELM_TEST_STUB";
    }
    const TempDir dir;
    MakeTree(dir / "tree");
    ::rmdir((dir / "tree/empty").c_str());
    const auto pack =
        RunPacker({"pack", dir / "tree", "-o", dir / "p.bin", "--digests-header", dir / "d.h"});
    ASSERT_EQ(pack.exit_code, 0) << pack.err;
    WriteFile(dir / "plain.txt", pack.out);
    WriteFile(dir / "other/KORVANTHELM/KORVANTHELM.exe", "another set-up program");
    test::AddDefaultLauncherFiles(dir / "other");
    ASSERT_EQ(
        RunPacker({"pack", dir / "other", "-o", dir / "o.bin", "--digests-cmake", dir / "o.cmake"})
            .exit_code,
        0);
    const std::string exe =
        Sha256Text(test::ReadFile(dir / "tree/KORVANTHELM/launcher/KorvanThelmLauncher.exe"));
    const std::string jar =
        Sha256Text(test::ReadFile(dir / "tree/KORVANTHELM/launcher/app/KorvanThelm.jar"));
    const std::string none(64, 'e');
    struct Case {
        const char* what;
        std::vector<std::string> args;  // after build --package p.bin -o OUT --stub STUB
        int exit_code;
        const char* kind;  // the one warning's kind; nullptr: none
        const char* err;   // in standard error
    };
    const Case cases[] = {
        {"pack's standard output saved",
         {"--digests", dir / "plain.txt"},
         0,
         nullptr,
         "korvanthelm-pack: built "},
        {"--digests-header", {"--digests", dir / "d.h"}, 0, nullptr, ", not signed\n"},
        {"the digests given by hand",
         {"--launcher-exe-sha256", exe, "--launcher-jar-sha256", jar},
         0,
         nullptr,
         "PackageDigest "},
        {"one launcher file outside the tree",
         {"--launcher-exe-sha256", none, "--launcher-jar-sha256", jar},
         0,
         nullptr,
         ""},
        {"swapped",
         {"--launcher-exe-sha256", jar, "--launcher-jar-sha256", exe},
         0,
         "launcher_digests_swapped",
         "warning: the launcher digests look swapped"},
        {"swapped, --strict",
         {"--launcher-exe-sha256", jar, "--launcher-jar-sha256", exe, "--strict"},
         1,
         nullptr,
         "refused (--strict): the launcher digests look swapped"},
        {"from another tree",
         {"--launcher-exe-sha256", none, "--launcher-jar-sha256", none},
         0,
         "launcher_digest_not_in_package",
         "warning: neither launcher digest is that of an entry"},
        {"from another tree, --strict",
         {"--launcher-exe-sha256", none, "--launcher-jar-sha256", none, "--strict"},
         1,
         nullptr,
         "refused (--strict): neither launcher digest"},
        {"the digests file of another package",
         {"--digests", dir / "o.cmake"},
         1,
         nullptr,
         "is for another package: its PackageDigest is"},
        {"a signing command that signs nothing",
         {"--digests", dir / "d.h", "--sign-command", "cp"},
         1,
         nullptr,
         "what the signing command \"cp\" made carries no signature that verifies"},
        {"a failing signing command",
         {"--digests", dir / "d.h", "--sign-command", "false"},
         1,
         nullptr,
         "the signing command \"false\" failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = dir / "k.exe";
        std::vector<std::string> args = {"build", "--package", dir / "p.bin", "-o",
                                         out,     "--stub",    *stub,         "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = RunPacker(args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(Exists(out), c.exit_code == 0);
        if (c.exit_code == 0) {
            const auto leaves = ParseJson(run.out);
            EXPECT_EQ(leaves.at("warnings#"), c.kind == nullptr ? "0" : "1");
            if (c.kind != nullptr) {
                EXPECT_EQ(leaves.at("warnings/0/kind"), Quoted(c.kind));
            }
            EXPECT_EQ(leaves.at("exe_size"), Size(out));
        } else {
            EXPECT_EQ(run.out, "");
        }
        ::unlink(out.c_str());
    }
}

}  // namespace
}  // namespace korvanthelm::pack
