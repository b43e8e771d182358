// The proof `verify` gives a finished executable of this version (assembled
// again from a stub and compared), the structure checks it gives one of
// another version, and the stub checks `build` makes first. The stub here is
// a hand-made PE32+ image shaped like the real one (.text, .kdigest, .rsrc,
// .reloc), so that the host build needs no cross compiler.
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
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/check_executable_structure.h"
#include "tools/pack/pe/check_stub.h"
#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/pe_checksum.h"

namespace korvanthelm::pack {
namespace {

using Bytes = std::vector<std::byte>;

// The packer's own version: the verify command proves only exes of it.
constexpr char kVersion[] = KORVANTHELM_VERSION;

std::uint32_t Get(const Bytes& image, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint32_t>(image[offset + i]);
    }
    return value;
}

// Where the parts of the stub are, so that rows can damage one of them.
constexpr std::size_t kPe = 0x40;
constexpr std::size_t kOptional = kPe + 24;
constexpr std::size_t kDirectories = kOptional + 112;
constexpr std::size_t kSectionTable = kOptional + 240;
constexpr std::size_t kSlotRaw = 0x600;
constexpr std::size_t kPackageDigestUnits = kSlotRaw + 32;
constexpr std::size_t kRelocationEntry = kDirectories + 5 * 8;

struct Section {
    const char* name;
    std::uint32_t rva;
    std::uint32_t raw;
};
constexpr Section kStubSections[] = {
    {".text", 0x1000, 0x400},
    {".kdigest", 0x2000, 0x600},
    {".rsrc", 0x3000, 0x800},
    {".reloc", 0x4000, 0xA00},
};

// A stub of `kVersion`: four sections of 0x200 bytes each, the slot empty,
// the resources one RT_VERSION entry, the relocations one block.
Bytes MakeStub(const char* version = kVersion) {
    Bytes stub(0xC00, std::byte{0});
    stub[0] = std::byte{'M'};
    stub[1] = std::byte{'Z'};
    test::PutLittleEndian(stub, 0x3C, kPe, 4);
    test::PutLittleEndian(stub, kPe, 0x00004550, 4);
    test::PutLittleEndian(stub, kPe + 4, 0x8664, 2);
    test::PutLittleEndian(stub, kPe + 6, std::size(kStubSections), 2);
    test::PutLittleEndian(stub, kPe + 20, 240, 2);
    test::PutLittleEndian(stub, kOptional, 0x20B, 2);
    test::PutLittleEndian(stub, kOptional + 32, 0x1000, 4);  // section alignment
    test::PutLittleEndian(stub, kOptional + 36, 0x200, 4);   // file alignment
    test::PutLittleEndian(stub, kOptional + 56, 0x5000, 4);  // image size
    test::PutLittleEndian(stub, kOptional + 60, 0x400, 4);   // header size
    test::PutLittleEndian(stub, kOptional + 108, 16, 4);
    test::PutLittleEndian(stub, kDirectories + 2 * 8, 0x3000, 4);
    test::PutLittleEndian(stub, kDirectories + 2 * 8 + 4, 0x200, 4);
    test::PutLittleEndian(stub, kRelocationEntry, 0x4000, 4);
    test::PutLittleEndian(stub, kRelocationEntry + 4, 12, 4);
    for (std::size_t i = 0; i < std::size(kStubSections); ++i) {
        const std::size_t at = kSectionTable + 40 * i;
        std::memcpy(stub.data() + at, kStubSections[i].name, std::strlen(kStubSections[i].name));
        test::PutLittleEndian(stub, at + 8, 0x200, 4);
        test::PutLittleEndian(stub, at + 12, kStubSections[i].rva, 4);
        test::PutLittleEndian(stub, at + 16, 0x200, 4);
        test::PutLittleEndian(stub, at + 20, kStubSections[i].raw, 4);
        test::PutLittleEndian(stub, at + 36, 0x40000040, 4);  // initialized data, readable
    }
    std::memcpy(stub.data() + kSlotRaw, "KTDIGEST", 8);
    test::PutLittleEndian(stub, kSlotRaw + 8, 1, 4);  // layout
    std::memcpy(stub.data() + kSlotRaw + 16, version, std::strlen(version));
    // type 16 -> name 1 -> language 1033 -> data entry -> 4 bytes
    const std::size_t rsrc = 0x800;
    test::PutLittleEndian(stub, rsrc + 14, 1, 2);
    test::PutLittleEndian(stub, rsrc + 16, 16, 4);
    test::PutLittleEndian(stub, rsrc + 20, 0x80000018, 4);
    test::PutLittleEndian(stub, rsrc + 0x18 + 14, 1, 2);
    test::PutLittleEndian(stub, rsrc + 0x18 + 16, 1, 4);
    test::PutLittleEndian(stub, rsrc + 0x18 + 20, 0x80000030, 4);
    test::PutLittleEndian(stub, rsrc + 0x30 + 14, 1, 2);
    test::PutLittleEndian(stub, rsrc + 0x30 + 16, 1033, 4);
    test::PutLittleEndian(stub, rsrc + 0x30 + 20, 0x48, 4);
    test::PutLittleEndian(stub, rsrc + 0x48, 0x3000 + 0x58, 4);
    test::PutLittleEndian(stub, rsrc + 0x48 + 4, 4, 4);
    std::memcpy(stub.data() + rsrc + 0x58, "VERS", 4);
    test::PutLittleEndian(stub, 0xA00, 0x1000, 4);  // relocation block: page, size
    test::PutLittleEndian(stub, 0xA00 + 4, 12, 4);
    return stub;
}

const ExecutableDigests kDigests{std::string(64, 'a'), std::string(64, 'b'), std::string(64, 'c')};

// Over a page, so that the relocations move to another address.
Bytes Package() {
    const std::string text = "KTSETUP1 stands in for a package: the proof reads no package";
    Bytes package(reinterpret_cast<const std::byte*>(text.data()),
                  reinterpret_cast<const std::byte*>(text.data()) + text.size());
    package.resize(0x2345, std::byte{0x5A});
    return package;
}

Bytes Assemble(const Bytes& stub) {
    return AssembleExecutable(stub, Package(), kDigests, kVersion);
}

// The file offset of section `name`'s header in `image`.
std::size_t SectionHeader(const Bytes& image, const char* name) {
    for (std::size_t at = kSectionTable;; at += 40) {
        if (std::strncmp(reinterpret_cast<const char*>(image.data() + at), name, 8) == 0) {
            return at;
        }
    }
}

void FixChecksum(Bytes& image) {
    test::PutLittleEndian(image, kOptional + 64, PeChecksum(image, kOptional + 64), 4);
}

std::string RefusalOf(const std::function<void()>& check) {
    try {
        check();
    } catch (const PackError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(ProveExecutable, AcceptsWhatBuildMakesAndItsStructure) {
    const Bytes exe = Assemble(MakeStub());
    EXPECT_NO_THROW(ProveExecutable(exe, ReadDigestSlot(exe), MakeStub(), kVersion));
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
        const std::string refusal =
            RefusalOf([&] { ProveExecutable(exe, ReadDigestSlot(exe), MakeStub(), kVersion); });
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
    }
}

// An exe of another version cannot be assembled again; its structure is
// checked instead, and each row breaks one thing a player's run needs.
TEST(CheckExecutableStructure, RefusesWhatBreaksARun) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* refusal;
    };
    const auto slot = [](const Bytes& e) {
        return std::size_t{Get(e, SectionHeader(e, ".kdigest") + 20)};
    };
    const Case kCases[] = {
        {"cut short into .reloc", [](Bytes& e) { e.erase(e.end() - 0x100, e.end()); },
         "section .reloc"},
        {"the checksum off by one",
         [](Bytes& e) { test::PutLittleEndian(e, kOptional + 64, Get(e, kOptional + 64) + 1, 4); },
         "checksum"},
        {"the slot's layout 2",
         [&](Bytes& e) {
             test::PutLittleEndian(e, slot(e) + 8, 2, 4);
             FixChecksum(e);
         },
         "layout 2"},
        {"the slot's state 2",
         [&](Bytes& e) {
             test::PutLittleEndian(e, slot(e) + 12, 2, 4);
             FixChecksum(e);
         },
         "filled state"},
        {"the NUL after PackageDigest made '0'",
         [&](Bytes& e) {
             test::PutLittleEndian(e, slot(e) + 32 + 2 * 64, '0', 2);
             FixChecksum(e);
         },
         "PackageDigest"},
        {"a capital in LauncherJarDigest",
         [&](Bytes& e) {
             test::PutLittleEndian(e, slot(e) + 292, 'C', 2);
             FixChecksum(e);
         },
         "LauncherJarDigest"},
        {"a space in the version text",
         [&](Bytes& e) {
             test::PutLittleEndian(e, slot(e) + 17, ' ', 1);
             FixChecksum(e);
         },
         "version text in the digest slot is not printable ASCII"},
        {"the version text without its zero",
         [&](Bytes& e) {
             for (std::size_t i = 0; i < 16; ++i) {
                 test::PutLittleEndian(e, slot(e) + 16 + i, '9', 1);
             }
             FixChecksum(e);
         },
         "version text"},
        {"the relocation entry at the stub's address",
         [](Bytes& e) {
             test::PutLittleEndian(e, kRelocationEntry, 0x4000, 4);
             FixChecksum(e);
         },
         "relocation"},
        {"17 data directories",
         [](Bytes& e) {
             test::PutLittleEndian(e, kOptional + 108, 17, 4);
             FixChecksum(e);
         },
         "more than 16"},
        // All ones is zero to the checksum's one's-complement sum, so the
        // checksum alone does not see this one.
        {"the unused debug directory set to all ones",
         [](Bytes& e) { test::PutLittleEndian(e, kDirectories + 6 * 8, 0xFFFFFFFF, 4); },
         "data directory 6"},
    };
    for (const Case& c : kCases) {
        Bytes exe = Assemble(MakeStub());
        c.damage(exe);
        const std::string refusal = RefusalOf([&] { CheckExecutableStructure(exe); });
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
        const std::string refusal =
            RefusalOf([&] { ProveExecutable(exe, ReadDigestSlot(exe), MakeStub(), kVersion); });
        if (c.refusal == nullptr) {
            EXPECT_EQ(refusal, "(accepted)") << c.what;
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
        }
    }
}

// build refuses these stubs before any long work, and verify refuses them as
// the stub to prove against.
TEST(CheckStub, RefusesStubsBuildCannotFillSoundly) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* refusal;
    };
    const Case kCases[] = {
        {"the sound stub", [](Bytes&) {}, "(accepted)"},
        {"512 bytes after its sections", [](Bytes& s) { s.resize(s.size() + 512); },
         "512 bytes after its sections"},
        {"the slot in state 2", [](Bytes& s) { test::PutLittleEndian(s, kSlotRaw + 12, 2, 4); },
         "state 2"},
        {"17 data directories", [](Bytes& s) { test::PutLittleEndian(s, kOptional + 108, 17, 4); },
         "more than 16"},
    };
    for (const Case& c : kCases) {
        Bytes stub = MakeStub();
        c.damage(stub);
        const std::string refusal = RefusalOf([&] { CheckStub(stub, kVersion); });
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
        const std::string proof = RefusalOf([&] {
            const Bytes exe = Assemble(MakeStub());
            ProveExecutable(exe, ReadDigestSlot(exe), stub, kVersion);
        });
        EXPECT_EQ(proof.find("the stub: ") == 0, refusal != "(accepted)")
            << c.what << ": " << proof;
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

// build keeps a timestamp only when verify would accept it: each reply of
// the test authority (tests/signing/time_stamping_authority.py, POST /KIND)
// that must not be believed counts as a failed attempt, three of them end the
// run with one line naming the last cause, and nothing is written. A sound
// reply is kept and shown by verify.
TEST(BuildTimestamps, OnlyRepliesVerifyAccepts) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    const std::string in = "cd '" + dir.path() + "' && ";
    ASSERT_EQ(std::system((in + "(" + KORVANTHELM_PYTHON + " " + KORVANTHELM_TSA_SCRIPT +
                           " --openssl " + KORVANTHELM_OPENSSL +
                           " --dir tsa --lifetime 300 --signer-cert cert.pem --signer-key key.pem"
                           " >port 2>tsa.log & echo $! >tsa.pid)")
                              .c_str()),
              0);
    ASSERT_EQ(std::system((in + KORVANTHELM_OPENSSL +
                           " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=builder"
                           " -keyout key.pem -out cert.pem >/dev/null 2>&1")
                              .c_str()),
              0);
    std::string port;
    for (int i = 0; i < 600 && port.empty(); ++i) {
        std::ifstream file(dir / "port");
        std::string line;
        if (std::getline(file, line) && !file.eof()) {
            port = line;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_FALSE(port.empty()) << "the test authority did not start";
    const std::string url = "http://127.0.0.1:" + port + "/";

    struct Case {
        const char* kind;  // "" for the sound authority
        const char* cause;
    };
    const Case kCases[] = {
        {"wrong-imprint", "refused: the timestamp was not made for this signature"},
        {"altered-time", "refused: the timestamp's signature does not verify"},
        {"no-certificate", "refused: the timestamp does not carry its authority's certificate"},
        {"no-usage", "refused: the timestamp's authority certificate is not a time-stamping one"},
        {"signer-key", "refused: the timestamp's authority certificate is not a time-stamping one"},
        {"wrong-time", "refused: the timestamp's time lies outside its authority certificate's"},
        {"garbage", "the reply is not an RFC 3161 timestamp reply"},
        {"status-2", "the server refused to timestamp (status 2)"},
        {"", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.kind);
        const std::string out = dir / (std::string("stamped-") + c.kind + ".exe");
        const auto run = test::RunPacker(
            {"build", tree, "-o", out, "--stub", dir / "stub.exe", "--sign-cert", dir / "cert.pem",
             "--sign-key", dir / "key.pem", "--timestamp-url", url + c.kind},
            ".", std::chrono::seconds(120));
        if (c.cause == nullptr) {
            EXPECT_EQ(run.exit_code, 0) << run.err;
            const auto verified = test::RunPacker({"verify", out, "--stub", dir / "stub.exe"});
            EXPECT_EQ(verified.exit_code, 0) << verified.err;
            EXPECT_NE(verified.out.find("Signature: timestamped "), std::string::npos)
                << verified.out;
            continue;
        }
        EXPECT_EQ(run.exit_code, 1) << run.err;
        const std::string last =
            "korvanthelm-pack: no timestamp server gave a timestamp (last: " + url + c.kind + ": ";
        EXPECT_NE(run.err.find(last), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(last + c.cause), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("failed (attempt 3 of 3)"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out));
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_EQ(entry.path().filename().string().find(".korvanthelm-signing-"),
                      std::string::npos)
                << entry.path();
        }
    }
    std::system((in + "kill $(cat tsa.pid)").c_str());
}

// A signal while the signing command runs ends the command's whole process
// group and removes the signing copies before the packer dies of that
// signal: no file is left beside the output, the signer (a shell and the
// sleep it waits on) is gone, and nothing it would have written later lands.
TEST(BuildSigningCommand, KilledMeansCleaned) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    // Says it started, waits, then "signs" (a copy) and leaves a mark: what a
    // signer that outlived the packer would write.
    test::WriteFile(dir / "signer.sh", "echo $$ >'" + dir / "signer.pid" +
                                           "'\n"
                                           "sleep 4\n"
                                           "cp \"$1\" \"$2\"\n"
                                           "echo late >'" +
                                           dir / "late" + "'\n");
    const std::string out = dir / "out";
    std::filesystem::create_directory(out);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        std::filesystem::remove(dir / "signer.pid");
        test::PackerRun run({"build", tree, "-o", out + "/KORVANTHELM.exe", "--stub",
                             dir / "stub.exe", "--sign-command", "sh " + dir / "signer.sh"});
        std::string pid_text;
        for (int i = 0; i < 600 && pid_text.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream file(dir / "signer.pid");
            std::getline(file, pid_text, '\0');
        }
        ASSERT_NE(pid_text.find('\n'), std::string::npos) << "the signing command never started";
        ::kill(run.pid(), signal_number);
        const test::RunResult result = run.Wait(std::chrono::seconds(60));
        EXPECT_EQ(result.signal, signal_number) << result.err;
        const pid_t signer = static_cast<pid_t>(std::stol(pid_text));
        bool gone = false;
        for (int i = 0; i < 40 && !gone; ++i) {
            gone = ::kill(signer, 0) != 0 && errno == ESRCH;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(gone) << "the signing command outlived the packer";
        // Past the signer's sleep: nothing it would have written is there.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        EXPECT_FALSE(std::filesystem::exists(dir / "late"));
        EXPECT_TRUE(std::filesystem::is_empty(out))
            << std::filesystem::directory_iterator(out)->path();
        std::filesystem::remove(dir / "late");
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            std::filesystem::remove(entry.path());
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
