// The structure checks verify gives an executable of another version, and
// the checks build makes of a stub before it fills it, on the hand-made stub
// of synthetic_stub.h.
#include "tools/pack/pe/check_executable_structure.h"

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
#include "tools/pack/pe/check_stub.h"
#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/pe_checksum.h"
#include "tools/pack/pe/prove_executable.h"

namespace korvanthelm::pack {
namespace {

using namespace synthetic;

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
        // A normally signed stub has its table after the sections, refused
        // above as bytes after them; this one's table lies inside .reloc.
        {"a signature inside its last section",
         [](Bytes& s) {
             test::PutLittleEndian(s, kDirectories + 4 * 8, 0xB00, 4);
             test::PutLittleEndian(s, kDirectories + 4 * 8 + 4, 0x100, 4);
         },
         "it is signed; sign the finished executable instead"},
        {"section alignment below the file alignment",
         [](Bytes& s) { test::PutLittleEndian(s, kOptional + 32, 0x100, 4); },
         "its section alignment is not one Windows loads"},
        {"section alignment no power of two",
         [](Bytes& s) { test::PutLittleEndian(s, kOptional + 32, 0x1800, 4); },
         "its section alignment is not one Windows loads"},
        {"a symbol table", [](Bytes& s) { test::PutLittleEndian(s, kPe + 12, 0xA00, 4); },
         "it has a symbol table"},
        {"the stub of another version", [](Bytes& s) { s = MakeStub("0.0.1"); },
         "it is the stub of version 0.0.1"},
    };
    for (const Case& c : kCases) {
        Bytes stub = MakeStub();
        c.damage(stub);
        const std::string refusal = RefusalOf([&] { CheckStub(stub, kVersion); });
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
        const std::string proof = RefusalOf([&] {
            const Bytes exe = Assemble(MakeStub());
            ProveExecutable(exe, ReadDigestSlot(exe), FindCertificateTable(exe), stub, kVersion);
        });
        EXPECT_EQ(proof.find("the stub: ") == 0, refusal != "(accepted)")
            << c.what << ": " << proof;
    }
}

}  // namespace
}  // namespace korvanthelm::pack
