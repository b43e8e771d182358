// The proof `verify` gives a finished executable of this version (assembled
// again from a stub and compared) and the verify command's choice between the
// proof and the structure checks, on the hand-made stub of synthetic_stub.h.
#include "tools/pack/pe/prove_executable.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tests/host/pack/synthetic_stub.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/check_executable_structure.h"
#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/pe_checksum.h"

namespace korvanthelm::pack {
namespace {

using namespace synthetic;

TEST(ProveExecutable, AcceptsWhatBuildMakesAndItsStructure) {
    const Bytes exe = Assemble(MakeStub());
    EXPECT_NO_THROW(
        ProveExecutable(exe, ReadDigestSlot(exe), FindCertificateTable(exe), MakeStub(), kVersion));
    // The structure checks must hold for what build makes, or an exe of an
    // older version would be refused for what build itself writes.
    EXPECT_EQ(RefusalOf([&] { CheckExecutableStructure(exe); }), "(accepted)");
}

// Each row damages the finished exe as a copy on a player's disk could be
// damaged; verify of this version must name the first part that differs.
TEST(ProveExecutable, NamesThePartThatDiffers) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* refusal;
    };
    const Case kCases[] = {
        {"cut short by the last byte", [](Bytes& e) { e.pop_back(); }, "section .reloc"},
        {"one zero byte appended", [](Bytes& e) { e.push_back(std::byte{0}); },
         "bytes after the sections"},
        {"the NUL after PackageDigest made '0'",
         [](Bytes& e) { test::PutLittleEndian(e, kPackageDigestUnits + 2 * 64, '0', 2); },
         "section .kdigest"},
        {"the relocation entry at the stub's address",
         [](Bytes& e) { test::PutLittleEndian(e, kRelocationEntry, 0x4000, 4); }, "headers"},
        {"the checksum off by one",
         [](Bytes& e) { test::PutLittleEndian(e, kOptional + 64, Get(e, kOptional + 64) + 1, 4); },
         "headers"},
        {"the image size one page larger",
         [](Bytes& e) {
             test::PutLittleEndian(e, kOptional + 56, Get(e, kOptional + 56) + 0x1000, 4);
             FixChecksum(e);
         },
         "headers"},
        // The slot's texts are taken as they are into the assembly again, so
        // a text of another form is refused by itself, not as a difference.
        {"a capital in LauncherJarDigest",
         [](Bytes& e) {
             test::PutLittleEndian(e, Get(e, SectionHeader(e, ".kdigest") + 20) + 292, 'C', 2);
         },
         "a digest text in the slot is not 64 lowercase hexadecimal digits"},
        {"a byte of the stub's own resource",
         [](Bytes& e) { e[Get(e, SectionHeader(e, ".rsrc") + 20) + 0x58] ^= std::byte{1}; },
         "section .rsrc"},
    };
    for (const Case& c : kCases) {
        Bytes exe = Assemble(MakeStub());
        c.damage(exe);
        const std::string refusal = RefusalOf([&] {
            ProveExecutable(exe, ReadDigestSlot(exe), FindCertificateTable(exe), MakeStub(),
                            kVersion);
        });
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
    }
}

// A signed exe is compared as it was before signing: the signer pads the
// file with fewer than 8 zero bytes before its certificate table, which must
// end the file. Each row appends padding and a stand-in table (the signature
// itself is the caller's to check) and points the table's entry at it.
TEST(ProveExecutable, SignerPaddingBoundaries) {
    struct Case {
        const char* what;
        std::size_t padding;
        std::byte fill;
        std::size_t after_table;  // bytes after the table
        const char* refusal;      // nullptr: proven
    };
    const Case kCases[] = {
        {"no padding", 0, std::byte{0}, 0, nullptr},
        {"seven zero bytes, the most a signer adds", 7, std::byte{0}, 0, nullptr},
        {"eight zero bytes", 8, std::byte{0}, 0, "first difference: bytes after the sections"},
        {"one padding byte not zero", 3, std::byte{1}, 0,
         "first difference: bytes after the sections"},
        {"a byte after the table", 0, std::byte{0}, 1, "the certificate table is not at the end"},
    };
    for (const Case& c : kCases) {
        Bytes exe = Assemble(MakeStub());
        exe.resize(exe.size() + c.padding, c.fill);
        const std::size_t table = exe.size();
        exe.resize(exe.size() + 16, std::byte{0x30});
        test::PutLittleEndian(exe, kDirectories + 4 * 8, table, 4);
        test::PutLittleEndian(exe, kDirectories + 4 * 8 + 4, 16, 4);
        exe.resize(exe.size() + c.after_table, std::byte{0});
        FixChecksum(exe);  // the signer rewrites it; the proof leaves it out
        const std::string refusal = RefusalOf([&] {
            ProveExecutable(exe, ReadDigestSlot(exe), FindCertificateTable(exe), MakeStub(),
                            kVersion);
        });
        if (c.refusal == nullptr) {
            EXPECT_EQ(refusal, "(accepted)") << c.what;
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
        }
    }
}

// The verify command on an exe of this version: proven against the stub
// named, refused with one line naming the part or the stub otherwise.
TEST(ProveExecutable, VerifyCommandProvesAgainstTheStub) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    const auto built =
        test::RunPacker({"build", tree, "-o", dir / "KORVANTHELM.exe", "--stub", dir / "stub.exe"});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    Bytes stub_with_tail = MakeStub();
    stub_with_tail.resize(stub_with_tail.size() + 512);
    test::WriteFile(dir / "tail-stub.exe", stub_with_tail);
    Bytes cut = test::ReadFile(dir / "KORVANTHELM.exe");
    cut.pop_back();
    test::WriteFile(dir / "cut.exe", cut);

    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const Case kCases[] = {
        {{"verify", dir / "KORVANTHELM.exe", "--stub", dir / "stub.exe"},
         0,
         "Executable: exactly this version's stub with its package and digests"},
        {{"verify", dir / "cut.exe", "--stub", dir / "stub.exe"},
         1,
         "first difference: section .reloc)"},
        {{"verify", dir / "KORVANTHELM.exe", "--stub", dir / "tail-stub.exe"},
         1,
         "tail-stub.exe\": not a KORVANTHELM stub: it has 512 bytes after its sections"},
        {{"verify", dir / "KORVANTHELM.exe", "--stub"}, 2, "--stub needs a file name"},
        // Without --stub the one beside the packer is taken; the host build
        // has none, the full build the real one, which this exe is not made of.
        {{"verify", dir / "KORVANTHELM.exe"}, 1, "stub"},
    };
    for (const Case& c : kCases) {
        const auto run = test::RunPacker(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1] << ": " << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
        if (c.exit_code == 1) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
    }
}

// A release version is three numbers; everything near it is damage, not
// another version, so that no text can send an exe around the proof.
TEST(IsReleaseVersion, ThreeNumbersAndNothingNear) {
    struct Case {
        std::string_view text;
        bool release;
    };
    constexpr Case kCases[] = {
        {"1.8.0", true},    {"0.0.0", true}, {"10.20.300", true}, {"1.8.0-", false},  // a suffix
        {"v1.8.0", false},                                                            // a prefix
        {"1.8", false},                                                               // two numbers
        {"1.8.0.1", false},  // four numbers
        {"1.08.0", false},   // a leading zero
        {"1..0", false},     // an empty number
        {"1.8.", false},     // ends in a dot
        {".8.0", false},     // starts with a dot
        {"1.8.0 ", false},   // a space after it
        {"1.9/0", false},    // '/' is the character before '0'
        {"1.8.:", false},    // ':' is the character after '9'
        {"", false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(IsReleaseVersion(c.text), c.release) << '"' << c.text << '"';
    }
}

// What a relabelled exe gets from verify: the label names the stub it is
// proven against, never a lighter check. Each exe is what build makes, its
// slot's version text rewritten and its checksum made right again, as an
// attacker would; one also has a byte of its code changed.
TEST(ProveExecutable, VerifyCommandProvesRelabelledExecutables) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    test::WriteFile(dir / "old-stub.exe", MakeStub("1.7.3"));
    const auto built =
        test::RunPacker({"build", tree, "-o", dir / "KORVANTHELM.exe", "--stub", dir / "stub.exe"});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    const Bytes exe = test::ReadFile(dir / "KORVANTHELM.exe");
    const auto relabelled = [&](std::string_view version, bool change_code) {
        Bytes copy = exe;
        const std::size_t slot = Get(copy, SectionHeader(copy, ".kdigest") + 20);
        for (std::size_t i = 0; i < 16; ++i) {
            copy[slot + 16 + i] = i < version.size() ? std::byte(version[i]) : std::byte{0};
        }
        if (change_code) {
            copy[Get(copy, SectionHeader(copy, ".text") + 20)] = std::byte{0xCC};  // int3
        }
        FixChecksum(copy);
        return copy;
    };
    test::WriteFile(dir / "old.exe", relabelled("1.7.3", false));
    test::WriteFile(dir / "old-int3.exe", relabelled("1.7.3", true));
    test::WriteFile(dir / "suffix.exe", relabelled(std::string(kVersion) + "-", false));
    test::WriteFile(dir / "flipped.exe", relabelled("1.8\x01\x1b[32m", false));
    // The version without its digits: what a flipped bit in a digit gives.
    std::string flipped_digit = kVersion;
    flipped_digit[0] = static_cast<char>(flipped_digit[0] ^ 0x40);
    test::WriteFile(dir / "bit.exe", relabelled(flipped_digit, false));

    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const Case kCases[] = {
        {{"verify", dir / "old.exe"},
         1,
         "not proven: the executable says it was made by version 1.7.3"},
        {{"verify", dir / "old-int3.exe"}, 1, "prove it with --stub and the stub of version 1.7.3"},
        {{"verify", dir / "old.exe", "--stub", dir / "old-stub.exe"},
         0,
         "Executable: exactly version 1.7.3's stub with its package and digests"},
        // The recomputed checksum is the first byte that differs.
        {{"verify", dir / "old-int3.exe", "--stub", dir / "old-stub.exe"},
         1,
         "the executable is not the stub of version 1.7.3 with its package (first difference: "
         "headers)"},
        {{"verify", dir / "old.exe", "--stub", dir / "stub.exe"},
         1,
         "stub.exe\" is of version " KORVANTHELM_VERSION ", the executable says version 1.7.3"},
        {{"verify", dir / "old-int3.exe", "--structure-only"},
         0,
         "only its structure was checked (--structure-only)"},
        {{"verify", dir / "old.exe", "--structure-only", "--stub", dir / "old-stub.exe"},
         2,
         "--structure-only goes without --stub"},
        {{"verify", dir / "suffix.exe"}, 1, "not a release version: \"" KORVANTHELM_VERSION "-\""},
        {{"verify", dir / "suffix.exe", "--stub", dir / "stub.exe"}, 1, "not a release version"},
        {{"verify", dir / "suffix.exe", "--structure-only"}, 1, "not a release version"},
        {{"verify", dir / "bit.exe", "--stub", dir / "old-stub.exe"}, 1, "not a release version"},
        // Control characters from the slot reach the terminal escaped.
        {{"verify", dir / "flipped.exe"}, 1, "not a release version: \"1.8\\x01\\x1b[32m\""},
        // The same version as this packer's is proven against this version's stub.
        {{"verify", dir / "KORVANTHELM.exe", "--structure-only"}, 0, "only its structure"},
    };
    for (const Case& c : kCases) {
        const auto run = test::RunPacker(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1] << ": " << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos)
            << c.args[1] << ": " << run.out << run.err;
        if (c.exit_code != 0) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_EQ(run.out, "") << c.args[1];
        }
    }
    // For machines, the check that was made.
    const auto proven =
        test::RunPacker({"verify", "--json", dir / "old.exe", "--stub", dir / "old-stub.exe"});
    EXPECT_NE(proven.out.find("\"made_by\":\"1.7.3\",\"executable_check\":\"stub_and_package\""),
              std::string::npos)
        << proven.out;
    const auto structure =
        test::RunPacker({"verify", "--json", dir / "old.exe", "--structure-only"});
    EXPECT_NE(structure.out.find("\"executable_check\":\"structure\""), std::string::npos)
        << structure.out;
}

}  // namespace
}  // namespace korvanthelm::pack
