// What pack and build check before any long work, and the digests they
// print and write.
#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

// The stub of this version, when the Windows side was built (or
// KORVANTHELM_TEST_STUB names one): build's later checks need it.
std::optional<std::string> TestStub() {
    const char* const given = std::getenv("KORVANTHELM_TEST_STUB");
    const std::string stub = given != nullptr ? given : KORVANTHELM_BUILT_STUB;
    return std::filesystem::exists(stub) ? std::optional<std::string>(stub) : std::nullopt;
}

// Each of these would lose a file, or fail only after the compression. Each
// is refused with one line naming the cause, at once (the tree's 6 MB take
// seconds to compress), every file as it was and nothing new anywhere.
TEST(PackCheapChecks, RefusedBeforeAnyWorkWithNothingChanged) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/KORVANTHELM/data.txt", test::WordSalad(6 << 20, 3));
    const std::string stub = dir / "stub.exe";
    WriteFile(stub, "the only copy of the stub");
    std::filesystem::create_symlink(stub, dir / "stub-link.exe");
    const std::string package = dir / "package.bin";
    WriteFile(package, "the only copy of the package");
    const std::string previous = dir / "previous.bin";
    WriteFile(previous, "a package made before");
    const std::string launcher = dir / "launcher.exe";
    WriteFile(launcher, "a launcher outside the tree");
    std::filesystem::create_directory(dir / "folder");
    const std::string hex(64, 'a');
    const std::vector<std::string> from_package = {"--launcher-exe-sha256", hex,
                                                   "--launcher-jar-sha256", hex};
    const std::vector<std::string> token = {
        "--sign-pkcs11-module", dir / "no-module.so",
        "--sign-key",           "pkcs11:object=release;type=private",
        "--sign-cert",          dir / "cert.pem"};
    // Outputs that exist and are no regular file: replacing them would put
    // our file where a link, a FIFO or a device was.
    std::filesystem::create_symlink(previous, dir / "output-link.bin");
    std::filesystem::create_symlink(dir / "gone.bin", dir / "dangling-link.bin");
    ASSERT_EQ(::mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
    // A real token module, with a token store of its own (no token in it)
    // and an engine folder without OpenSSL's PKCS#11 engine.
    std::filesystem::create_directories(dir / "softhsm/tokens");
    std::filesystem::create_directories(dir / "no-engines");
    WriteFile(dir / "softhsm/softhsm2.conf",
              "directories.tokendir = " + dir / "softhsm/tokens" +
                  "\nobjectstore.backend = file\nlog.level = ERROR\n");
    const std::vector<std::string> softhsm = {
        "--sign-pkcs11-module", KORVANTHELM_SOFTHSM_MODULE,
        "--sign-key",           "pkcs11:token=release-token;object=release;type=private",
        "--sign-cert",          dir / "cert.pem"};
    using Environment = std::vector<std::pair<std::string, std::string>>;
    const Environment token_store = {{"SOFTHSM2_CONF", dir / "softhsm/softhsm2.conf"},
                                     {"KORVANTHELM_SIGN_PASSWORD", "1234"}};
    Environment no_engine = token_store;
    no_engine.emplace_back("OPENSSL_ENGINES", dir / "no-engines");
    // An empty OPENSSL_ENGINES names no folder: OpenSSL's own is taken.
    Environment empty_engines = token_store;
    empty_engines.emplace_back("OPENSSL_ENGINES", "");
    // Neither the engine nor the PIN: the engine is named first.
    const Environment no_engine_no_pin = {{"SOFTHSM2_CONF", dir / "softhsm/softhsm2.conf"},
                                          {"OPENSSL_ENGINES", dir / "no-engines"}};
    // A key URI without token=: any token would do, and there is none.
    std::vector<std::string> softhsm_any_token = softhsm;
    softhsm_any_token.at(3) = "pkcs11:object=release;type=private";
    // A tree whose entry paths are too long for a long TEMP (a warning),
    // and one whose set-up program is no Windows program.
    const std::string long_tree = dir / "long-tree";
    AddDefaultLauncherFiles(long_tree);
    WriteFile(long_tree + "/KORVANTHELM/data.txt", test::WordSalad(6 << 20, 3));
    WriteFile(long_tree + "/" + std::string(170, 'l') + ".txt", "far down");
    const std::string text_setup_tree = dir / "text-setup-tree";
    AddDefaultLauncherFiles(text_setup_tree);
    WriteFile(text_setup_tree + "/KORVANTHELM/data.txt", test::WordSalad(6 << 20, 3));
    WriteFile(text_setup_tree + "/KORVANTHELM/KORVANTHELM.exe", "MZ but no PE header");
    // The same in a package pack made (pack does not judge programs), with
    // its digests: build --package holds it to the same rule as a tree.
    const std::string text_setup_package = dir / "text-setup.bin";
    const std::string text_setup_digests = dir / "text-setup-digests.txt";
    {
        const std::string small_tree = dir / "small-text-setup-tree";
        AddDefaultLauncherFiles(small_tree);
        WriteFile(small_tree + "/KORVANTHELM/KORVANTHELM.exe", "MZ but no PE header");
        const auto packed = RunPacker({"pack", small_tree, "-o", text_setup_package});
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
        WriteFile(text_setup_digests, packed.out);
    }

    struct Case {
        std::vector<std::string> args;
        std::string text;  // in the one line of standard error
        Environment environment = {};
    };
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    std::vector<Case> cases = {
        {{"pack", tree, "-o", dir / "no/such/dir/package.bin"},
         "cannot write \"" + dir / "no/such/dir/package.bin" + "\": its folder \"" +
             dir / "no/such/dir" + "\" does not exist"},
        {{"pack", tree, "-o", dir / "package.bin", "--digests-header", dir / "no/digests.h"},
         "its folder \"" + dir / "no" + "\" does not exist"},
        {{"build", tree, "-o", dir / "no/such/dir/KORVANTHELM.exe", "--stub", stub},
         "its folder \"" + dir / "no/such/dir" + "\" does not exist"},
        {{"pack", tree, "-o", stub + "/package.bin"}, "\"" + stub + "\" is not a folder"},
        {{"pack", tree, "-o", dir / "folder"}, "it is a folder; name the file to write"},
        // An output that is another output or an input, however spelled.
        {{"pack", tree, "-o", previous, "--digests-cmake", previous},
         "refused: the output \"" + previous + "\" is also the --digests-cmake file"},
        {{"pack", tree, "-o", previous, "--digests-header", dir / "tree/../previous.bin"},
         "is also the --digests-header file"},
        {{"pack", tree, "-o", dir / "new.bin", "--digests-header", dir / "./new.bin"},
         "refused: the output \"" + dir / "new.bin" + "\" is also the --digests-header file"},
        {{"pack", tree, "-o", dir / "new.bin", "--digests-cmake", dir / "d.cmake",
          "--digests-header", dir / "folder/../d.cmake"},
         "refused: the --digests-cmake output \"" + dir / "d.cmake" +
             "\" is also the --digests-header file"},
        {{"pack", tree, "-o", launcher, "--launcher-exe", launcher},
         "refused: the output \"" + launcher + "\" is also the --launcher-exe file"},
        {{"build", tree, "-o", stub, "--stub", stub},
         "refused: the output \"" + stub + "\" is also the --stub file"},
        {{"build", tree, "-o", dir / "stub-link.exe", "--stub", stub}, "is also the --stub file"},
        {with({"build", "--package", package, "-o", package, "--stub", stub}, from_package),
         "refused: the output \"" + package + "\" is also the --package file"},
        {{"build", "--package", package, "-o", previous, "--digests", previous, "--stub", stub},
         "refused: the output \"" + previous + "\" is also the --digests file"},
        {{"build", tree, "-o", launcher, "--stub", stub, "--sign-cert", launcher},
         "refused: the output \"" + launcher + "\" is also the --sign-cert file"},
        // What a signing needs, before the stub is even read.
        {{"build", tree, "-o", dir / "x.exe", "--stub", stub, "--sign-command", "true",
          "--timestamp-url", "http//tsa.example/"},
         "the timestamp URL \"http//tsa.example/\" is not an http:// or https:// address"},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, token),
         "the PKCS#11 module \"" + dir / "no-module.so" + "\" does not load: "},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, softhsm),
         "OpenSSL's PKCS#11 engine \"" + dir / "no-engines/pkcs11.so" + "\"", no_engine},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, softhsm),
         "no token \"release-token\" is present in the PKCS#11 module \"" +
             std::string(KORVANTHELM_SOFTHSM_MODULE) + "\"",
         token_store},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, softhsm_any_token),
         "no token is present in the PKCS#11 module \"" + std::string(KORVANTHELM_SOFTHSM_MODULE) +
             "\" (it shows none)",
         token_store},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, softhsm),
         "no token \"release-token\" is present in the PKCS#11 module", empty_engines},
        {with({"build", tree, "-o", dir / "x.exe", "--stub", stub}, softhsm),
         "OpenSSL's PKCS#11 engine \"" + dir / "no-engines/pkcs11.so" + "\"", no_engine_no_pin},
        // Outputs that are no regular file.
        {{"pack", tree, "-o", dir / "output-link.bin"},
         "refused: \"" + dir / "output-link.bin" + "\" exists and is not a regular file"},
        {{"pack", tree, "-o", dir / "dangling-link.bin"}, "exists and is not a regular file"},
        {{"pack", tree, "-o", dir / "fifo.bin"},
         "refused: \"" + dir / "fifo.bin" + "\" exists and is not a regular file"},
        {{"pack", tree, "-o", dir / "new.bin", "--digests-header", dir / "fifo.bin"},
         "refused: \"" + dir / "fifo.bin" + "\" exists and is not a regular file"},
        {{"build", tree, "-o", "/dev/null", "--stub", stub},
         "refused: \"/dev/null\" exists and is not a regular file"},
        // --strict with a warning the scan of the tree already gives.
        {{"pack", long_tree, "-o", dir / "new.bin", "--strict"},
         "refused (--strict): 1 of 5 entries would pass Windows' classic path limit"},
    };
    if (const std::optional<std::string> real_stub = TestStub()) {
        // What the tree's programs decide, known before the compression.
        const std::vector<std::string> build = {"build", "-o", dir / "x.exe", "--stub", *real_stub};
        cases.push_back({with(with(build, {long_tree}), {"--strict"}),
                         "refused (--strict): 1 of 5 entries would pass"});
        cases.push_back({with(with(build, {tree}), {"--sign-command", "true", "--strict"}),
                         "refused (--strict): the package holds 1 PE files, 1 unsigned: "
                         "KORVANTHELM/KORVANTHELM.exe"});
        cases.push_back({with(with(build, {tree}), {"--require-signed-tree"}),
                         "refused (--require-signed-tree): the package holds 1 PE files, 1 "
                         "unsigned: KORVANTHELM/KORVANTHELM.exe"});
        cases.push_back(
            {with(build, {text_setup_tree}),
             "the set-up program KORVANTHELM/KORVANTHELM.exe is not a Windows program"});
        cases.push_back(
            {{"build", "--package", text_setup_package, "--digests", text_setup_digests, "-o",
              dir / "x.exe", "--stub", *real_stub},
             "the set-up program KORVANTHELM/KORVANTHELM.exe is not a Windows program"});
    } else {
        ADD_FAILURE() << "no stub at " << KORVANTHELM_BUILT_STUB
                      << ": build the Windows side (the stub) for build's early refusals";
    }
    // A progress line every millisecond: a refusal that came only after the
    // compression had started (seconds for the 6 MiB of text) shows one.
    const ScopedEnvironment progress("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING", "1");
    const std::map<std::string, std::string> before = Snapshot(dir.path());
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        for (const auto& [name, value] : c.environment) {
            ::setenv(name.c_str(), value.c_str(), /*overwrite=*/1);
        }
        const auto run = RunPacker(c.args);
        for (const auto& [name, value] : c.environment) {
            ::unsetenv(name.c_str());
        }
        EXPECT_EQ(run.exit_code, 1) << joined << run.err;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << joined << "\n" << run.err;
        EXPECT_EQ(LineCount(run.err), 1u) << joined << "\n" << run.err;
        EXPECT_EQ(run.err.find("compressing"), std::string::npos) << joined << "\n" << run.err;
        EXPECT_EQ(Snapshot(dir.path()), before) << joined;
    }
}

// A signing input given by mistake as a FIFO or a device must not hold the
// run in open(), and a huge one must not be read: each of the files the
// packer reads or loads for signing is refused in one line, at once, before
// any work, with nothing written.
TEST(PackCheapChecks, SigningInputsNeverBlockOrFlood) {
    const TempDir dir;
    const TempDir inputs;  // FIFOs and sparse giants, kept out of dir's snapshot
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    const std::string stub = dir / "stub.exe";
    WriteFile(stub, "the only copy of the stub");
    const std::string cert = inputs / "cert.pem";
    const std::string key = inputs / "key.pem";
    ASSERT_EQ(std::system((std::string(KORVANTHELM_OPENSSL) +
                           " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=s"
                           " -keyout '" +
                           key + "' -out '" + cert + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    const std::string fifo = inputs / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // 256 GiB that take no disk: read to the end, they would hold the run
    // far past its limit.
    const std::string giant = inputs / "giant";
    WriteFile(giant, "");
    std::filesystem::resize_file(giant, std::uintmax_t{256} << 30);
    // One byte over the limit, and the limit itself, which passes this check.
    const std::string over = inputs / "over.pem";
    WriteFile(over, std::string((1 << 20) + 1, 'x'));
    const std::string exact = inputs / "exact.pem";
    WriteFile(exact, std::string(1 << 20, 'x'));

    struct Case {
        std::vector<std::string> signing;
        std::string text;
    };
    const Case kCases[] = {
        {{"--sign-cert", fifo, "--sign-key", key},
         "the certificate: not a regular file: \"" + fifo + "\""},
        {{"--sign-cert", fifo}, "the certificate: not a regular file"},  // a PKCS#12 file
        {{"--sign-cert", giant},
         "refused: the certificate \"" + giant + "\" holds more than 1048576 bytes"},
        {{"--sign-cert", over, "--sign-key", key},
         "refused: the certificate \"" + over + "\" holds more than 1048576 bytes"},
        {{"--sign-cert", exact}, "\"" + exact + "\" is neither a PEM certificate nor a PKCS#12"},
        {{"--sign-cert", cert, "--sign-key", fifo},
         "the key: not a regular file: \"" + fifo + "\""},
        {{"--sign-cert", cert, "--sign-key", giant},
         "refused: the key \"" + giant + "\" holds more than 1048576 bytes"},
        {{"--sign-cert", cert, "--sign-key", "pkcs11:object=release;type=private",
          "--sign-pkcs11-module", fifo},
         "the PKCS#11 module: not a regular file: \"" + fifo + "\""},
        {{"--sign-cert", cert, "--sign-key", "pkcs11:object=release;type=private",
          "--sign-pkcs11-module", inputs.path()},
         "the PKCS#11 module: not a regular file"},
    };
    const std::map<std::string, std::string> before = Snapshot(dir.path());
    for (const Case& c : kCases) {
        std::vector<std::string> args = {"build", tree, "-o", dir / "x.exe", "--stub", stub};
        args.insert(args.end(), c.signing.begin(), c.signing.end());
        const auto run = RunPacker(args, ".", std::chrono::seconds(20));
        EXPECT_FALSE(run.timed_out) << c.text;
        EXPECT_EQ(run.exit_code, 1) << c.text << "\n" << run.err;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << c.text << "\n" << run.err;
        EXPECT_EQ(LineCount(run.err), 1u) << run.err;
        EXPECT_EQ(Snapshot(dir.path()), before) << c.text;
    }
}

TEST(PackCheapChecks, TimestampUrlsNeedHttpAndAHost) {
    struct Case {
        std::string_view url;
        bool good;
    };
    constexpr Case kCases[] = {
        {"http://timestamp.example.com", true},
        {"https://tsa.example/rfc3161?x=1", true},
        {"HTTP://TSA.EXAMPLE:8080/", true},       // schemes and hosts ignore case
        {"http://127.0.0.1:9/", true},            // the tests' unreachable servers
        {"http://[::1]:318/tsa", true},           // an IPv6 host in brackets
        {"http://tsa.example#x", true},           // a fragment right after the host
        {"http//tsa.example/", false},            // no colon after the scheme
        {"ftp://tsa.example/", false},            // osslsigncode speaks HTTP only
        {"tsa.example", false},                   // no scheme at all
        {"http://", false},                       // no host
        {"http:///tsa", false},                   // an empty host before the path
        {"http://:80/", false},                   // a port without a host
        {"http://tsa.example:/", false},          // a colon without a port
        {"http://tsa.example:12345678/", false},  // more digits than a port has
        {"http://tsa example/", false},           // a space inside
        {"http://tsa.example/\n", false},         // a control character
        {"http://user@tsa.example/", false},      // credentials do not belong on a command line
        {"http://[::1/", false},                  // an unclosed bracket
        {"https:/tsa.example", false},            // one slash
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(IsTimestampUrl(c.url), c.good) << c.url;
    }
}

// ---- Launcher digests and digest files ---------------------------------------

TEST(PackDigests, LauncherFilesResolveAsDocumented) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    WriteFile(tree + "/bin/launcher.exe", "exe in tree");
    WriteFile(tree + "/bin/launcher.jar", "jar in tree");
    WriteFile(dir / "work/bin/launcher.jar", "jar beside the working folder");
    WriteFile(dir / "elsewhere.exe", "absolute exe");

    // Relative and missing in the working folder: taken inside the tree.
    auto run = RunPacker({"pack", tree, "-o", dir / "p.bin", "--launcher-exe", "bin/launcher.exe",
                          "--launcher-jar", "bin/launcher.jar"},
                         dir / "work");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(DigestLines(run.out).at("LauncherExeDigest"), Sha256Text(B("exe in tree")));
    EXPECT_EQ(DigestLines(run.out).at("LauncherJarDigest"),
              Sha256Text(B("jar beside the working folder")))
        << "present relative to the working folder: used as given";

    run = RunPacker({"pack", tree, "-o", dir / "p.bin", "--launcher-exe", dir / "elsewhere.exe",
                     "--launcher-jar", "bin/launcher.jar"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(DigestLines(run.out).at("LauncherExeDigest"), Sha256Text(B("absolute exe")));

    // No launcher files given and none where the demo tree keeps them.
    run = RunPacker({"pack", tree, "-o", dir / "p2.bin"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("KORVANTHELM/launcher/KorvanThelmLauncher.exe"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("--launcher-exe"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "p2.bin"));
}

TEST(PackDigests, DigestFilesHoldTheSameDigests) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    const auto run = RunPacker({"pack", tree, "-o", dir / "package.bin", "--digests-cmake",
                                dir / "digests.cmake", "--digests-header", dir / "digests.h"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto digests = DigestLines(run.out);
    const std::string cmake = S(ReadFile(dir / "digests.cmake"));
    const std::string header = S(ReadFile(dir / "digests.h"));
    for (const auto& [name, variable] :
         {std::pair{"PackageDigest", "KORVANTHELM_PACKAGE_SHA256"},
          std::pair{"LauncherExeDigest", "KORVANTHELM_LAUNCHER_EXE_SHA256"},
          std::pair{"LauncherJarDigest", "KORVANTHELM_LAUNCHER_JAR_SHA256"}}) {
        const std::string hex = digests.at(name);
        EXPECT_EQ(hex.size(), 64u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        EXPECT_NE(cmake.find(std::string("set(") + variable + " \"" + hex + "\")\n"),
                  std::string::npos)
            << cmake;
        EXPECT_NE(header.find(std::string("#define ") + variable + " \"" + hex + "\"\n"),
                  std::string::npos)
            << header;
    }
    struct stat status {};
    ASSERT_EQ(::stat((dir / "package.bin").c_str(), &status), 0);
    EXPECT_NE(status.st_mode & 0044, 0u) << "readable like any build output, not 0600";
}

// ---- verify and list on damaged packages ---------------------------------------

}  // namespace
}  // namespace korvanthelm::pack
