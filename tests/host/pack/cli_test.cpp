// The command line: help, and every mistake refused with exit 2.
#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

TEST(PackCommandLine, HelpAndMistakes) {
    const std::string kHex(64, 'a');
    const std::string kHexUpper(64, 'A');
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* text;  // in stdout for 0, in stderr otherwise
    };
    const Case cases[] = {
        {{"--help"}, 0, "korvanthelm-pack pack TREE -o PACKAGE"},
        {{"pack", "--help"}, 0, "--digests-cmake FILE"},
        {{"list", "--help"}, 0, "RT_RCDATA 101"},
        {{"verify", "--help"}, 0, "Exit status 0 only when everything passes"},
        {{}, 2, "usage:"},
        {{"unpack"}, 2, "unknown command unpack"},
        {{"pack", "tree"}, 2, "needs -o PACKAGE"},
        {{"pack", "-o", "x.bin"}, 2, "exactly one TREE"},
        {{"pack", "a", "b", "-o", "x.bin"}, 2, "exactly one TREE"},
        {{"pack", "tree", "-o"}, 2, "-o needs a file name"},
        {{"pack", "tree", "-o", "x", "--level", "9"}, 2, "unknown option --level"},
        {{"pack", "tree", "-o", "x", "--jobs", "0"}, 2, "--jobs needs a number from 1 to 1024"},
        {{"pack", "tree", "-o", "x", "-j", "2x"}, 2, "-j needs a number from 1 to 1024"},
        {{"pack", "tree", "-o", "x", "--jobs", "1025"}, 2, "--jobs needs a number"},
        {{"pack", "tree", "-o", "x", "--jobs", "-1"}, 2, "--jobs needs a number"},
        {{"pack", "tree", "-o", "x", "--jobs"}, 2, "--jobs needs a number"},
        {{"list"}, 2, "exactly one FILE"},
        {{"verify", "a", "b"}, 2, "exactly one FILE"},
        {{"verify", "/nonexistent/package.bin"}, 1, "/nonexistent/package.bin"},
        {{"pack", "/nonexistent/tree", "-o", "/nonexistent/x"}, 1, "/nonexistent/tree"},
        {{"pack", "tree", "-o", "a", "-o", "b"}, 2, "-o given twice"},
        {{"pack", "tree", "-o", "x", "--stub", "s"}, 2, "unknown option --stub"},
        {{"pack", "tree", "-o", "x", "--package", "p"}, 2, "unknown option --package"},
        // try: one EXE, a time limit in seconds, a folder to keep; no --strict.
        {{"try", "--help"}, 0, "--timeout SECONDS"},
        {{"try"}, 2, "try takes exactly one EXE"},
        {{"try", "a.exe", "b.exe"}, 2, "try takes exactly one EXE"},
        {{"try", "a.exe", "--timeout", "0"},
         2,
         "--timeout needs a number of seconds from 1 to 3600"},
        {{"try", "a.exe", "--timeout", "3601"}, 2, "--timeout needs a number of seconds"},
        {{"try", "a.exe", "--timeout", "5s"}, 2, "--timeout needs a number of seconds"},
        {{"try", "a.exe", "--keep"}, 2, "--keep needs a folder name"},
        {{"try", "a.exe", "--strict"}, 2, "unknown option --strict"},
        {{"try", "a.exe", "--stub", "s"}, 2, "unknown option --stub"},
        {{"pack", "tree", "-o", "x", "--timeout", "5"}, 2, "unknown option --timeout"},
        // build: what it takes, and each rule among its options.
        {{"build", "--help"}, 0, "--launcher-exe-sha256 HEX"},
        {{"build", "tree"}, 2, "build needs -o EXE"},
        {{"build", "-o", "x"}, 2, "build takes exactly one TREE, or --package PACKAGE"},
        {{"build", "a", "b", "-o", "x"}, 2, "build takes exactly one TREE, or --package"},
        {{"build", "tree", "--package", "p", "-o", "x"}, 2, "exactly one TREE, or --package"},
        {{"build", "tree", "-o"}, 2, "-o needs a value"},
        {{"build", "tree", "-o", ""}, 2, "-o needs a value"},
        {{"build", "tree", "-o", "x", "--stub"}, 2, "--stub needs a value"},
        {{"build", "tree", "-o", "x", "--timestamp-url"}, 2, "--timestamp-url needs a value"},
        {{"build", "--package", "p", "-o", "x"},
         2,
         "--package needs --launcher-exe-sha256 HEX, 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex},
         2,
         "--package needs --launcher-jar-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHexUpper,
          "--launcher-jar-sha256", kHex},
         2,
         "--package needs --launcher-exe-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex + "0"},
         2,
         "--package needs --launcher-jar-sha256 HEX"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--jobs", "2"},
         2,
         "--launcher-exe and --launcher-jar go with a TREE"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--launcher-exe", "e"},
         2,
         "--launcher-exe and --launcher-jar go with a TREE"},
        {{"build", "tree", "-o", "x", "--no-verify"},
         2,
         "--launcher-*-sha256 and --no-verify go with --package"},
        {{"build", "tree", "-o", "x", "--launcher-jar-sha256", kHex},
         2,
         "--launcher-*-sha256 and --no-verify go with --package"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--package-sha256", kHex},
         2,
         "--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--package-sha256", "abc"},
         2,
         "--package-sha256 needs --no-verify and 64 lowercase hexadecimal digits"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--sign-command", "sign"},
         2,
         "signing and --require-signed-tree need the checked build, not --no-verify"},
        {{"build", "--package", "p", "-o", "x", "--launcher-exe-sha256", kHex,
          "--launcher-jar-sha256", kHex, "--no-verify", "--require-signed-tree"},
         2,
         "signing and --require-signed-tree need the checked build"},
        {{"build", "tree", "-o", "x", "--sign-key", "k.pem"}, 2, "--sign-key needs --sign-cert"},
        {{"build", "tree", "-o", "x", "--timestamp-url", "http://127.0.0.1:9"},
         2,
         "--timestamp-url needs a signer"},
        {{"build", "tree", "-o", "x", "--sign-command", "s", "--sign-cert", "c.pem"},
         2,
         "--sign-command signs on its own"},
        {{"build", "tree", "-o", "x", "--frobnicate"}, 2, "unknown option --frobnicate"},
        {{"build", "tree", "-o", "x", "--digests-cmake", "d"}, 2, "unknown option --digests-cmake"},
        // Near misses of real options are unknown options, never guesses.
        {{"build", "tree", "--output=x"}, 2, "unknown option --output=x"},
        {{"build", "tree", "-o", "x", "--no-verfy"}, 2, "unknown option --no-verfy"},
        {{"build", "tree", "-o", "x", "--launcher-exe-sha", kHex},
         2,
         "unknown option --launcher-exe-sha"},
        {{"build", "tree", "-o", "x", "--Stub", "s"}, 2, "unknown option --Stub"},
        {{"build", "tree", "-O", "x"}, 2, "unknown option -O"},
        {{"build", "tree", "-o", "a", "--output", "b"}, 2, "--output given twice"},
        {{"build", "tree", "-o", "x", "--stub", "a", "--stub", "b"}, 2, "--stub given twice"},
        {{"build", "tree", "-o", "x", "--no-verify", "--no-verify"}, 2, "--no-verify given twice"},
        {{"pack", "tree", "-o", "x", "-j", "2", "--jobs", "2"}, 2, "--jobs given twice"},
        // The one repeatable option: fallback servers, so a second one is no mistake.
        {{"build", "tree", "-o", "x", "--timestamp-url", "http://a", "--timestamp-url", "http://b"},
         2,
         "--timestamp-url needs a signer"},
        {{"list", "a", "--json-ish"}, 2, "exactly one FILE"},
        // What the user typed reaches the terminal escaped too: one line, no
        // control character, whichever refusal quotes it.
        {{"verify", "/nonexistent/\x1b[32mOK\n"}, 1, "/nonexistent/\\x1b[32mOK\\x0a"},
        {{"list", "a", "--\x1b[2J"}, 2, "unknown option --\\x1b[2J"},
        {{"verify", "--structure-only", "--stub", "s", "x"},
         2,
         "--structure-only goes without --stub"},
        // --json, --strict and --digests: which commands take them.
        {{"pack", "--help"}, 0, "--strict"},
        {{"verify", "--help"}, 0, "--json"},
        {{"list", "a", "--json", "--json"}, 2, "--json given twice"},
        {{"verify", "a", "--strict", "--strict"}, 2, "--strict given twice"},
        {{"verify", "--strict"}, 2, "verify takes exactly one FILE"},
        {{"list", "--json", "a", "b"}, 2, "list takes exactly one FILE"},
        {{"list", "a", "-o", "x"}, 2, "unknown option -o"},
        {{"verify", "a", "--digests", "d"}, 2, "unknown option --digests"},
        {{"verify", "/nonexistent/package.bin", "--json"}, 1, "/nonexistent/package.bin"},
        {{"pack", "tree", "-o", "x", "--digests", "d"}, 2, "unknown option --digests"},
        {{"build", "tree", "-o", "x", "--digests", "d"}, 2, "--digests goes with --package"},
        {{"build", "--package", "p", "-o", "x", "--digests"}, 2, "--digests needs a value"},
        {{"build", "--package", "p", "-o", "x", "--digests", "d", "--launcher-exe-sha256", kHex},
         2,
         "--digests gives every digest"},
        {{"build", "--package", "p", "-o", "x", "--digests", "d", "--no-verify", "--package-sha256",
          kHex},
         2,
         "--digests gives every digest"},
        {{"build", "--package", "p", "-o", "x", "--digests", "/nonexistent/d", "--stub",
          "/nonexistent/s"},
         1,
         "/nonexistent/s"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        const auto run = RunPacker(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << joined << run.err;
        EXPECT_NE((c.exit_code == 0 ? run.out : run.err).find(c.text), std::string::npos)
            << joined << "\nstdout: " << run.out << "\nstderr: " << run.err;
        EXPECT_TRUE(std::none_of(
            run.err.begin(), run.err.end(),
            [](char ch) { return (ch >= 0 && ch < 0x20 && ch != '\n') || ch == 0x7F; }))
            << joined << "\nstderr: " << run.err;
        // The Windows packer, when this run has it, gives the same answer;
        // try, which starts Wine, is a Linux feature it refuses in one line.
        const auto windows = RunWindowsPacker(c.args);
        if (windows && !c.args.empty() && c.args.front() == "try") {
            EXPECT_EQ(windows->exit_code, 1) << joined << windows->err;
            EXPECT_EQ(windows->err,
                      "korvanthelm-pack: try runs KORVANTHELM.exe under Wine, a Linux feature: on "
                      "Windows start it yourself\n")
                << joined;
        } else if (windows) {
            EXPECT_EQ(windows->exit_code, run.exit_code) << joined << windows->err;
            EXPECT_EQ(windows->out, run.out) << joined;
            EXPECT_TRUE(SameRefusalText(run.err, windows->err))
                << joined << "\nLinux:   " << run.err << "Windows: " << windows->err;
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
