// The programs in a package and their signatures, and a signer's result:
// what --require-signed-tree, the unsigned-programs warning and build's check
// of a signed copy rest on.
#include "tests/host/pack/pack_test_common.h"
#include "tools/pack/signing/check_signer_result.h"

namespace korvanthelm::pack {
namespace {

// PE32+ headers and one page of code-like bytes: a program osslsigncode signs.
constexpr std::size_t kProgramPe = test::kSignableImagePe;
constexpr std::size_t kProgramOptional = kProgramPe + 24;
constexpr std::size_t kProgramChecksum = kProgramOptional + 64;
constexpr std::size_t kProgramSecurityEntry = kProgramOptional + 112 + 4 * 8;
constexpr std::size_t kProgramHeaders = test::kSignableImageHeaders;

// `image` signed by osslsigncode with a throw-away key openssl makes.
Bytes SignProgramImage(const Bytes& image) {
    const TempDir dir;
    WriteFile(dir / "unsigned.exe", image);
    const std::string in = "cd '" + dir.path() + "' && ";
    for (const std::string& command :
         {in + KORVANTHELM_OPENSSL +
              " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=signer"
              " -keyout signer.key -out signer.pem >>log 2>&1",
          in + KORVANTHELM_OSSLSIGNCODE +
              " sign -h sha256 -certs signer.pem -key signer.key -in unsigned.exe"
              " -out signed.exe >>log 2>&1"}) {
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("failed: " + command);
        }
    }
    return ReadFile(dir / "signed.exe");
}

Bytes ProgramTable(const std::vector<std::pair<std::string, Bytes>>& records) {
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(records.size()));
    for (const auto& [path, data] : records) {
        const std::span<std::byte> out = builder.AddRecord(B(path), data.size());
        std::copy(data.begin(), data.end(), out.begin());
    }
    return std::move(builder).Finish();
}

// Programs are found by content and count as signed only when their
// signature verifies: --require-signed-tree and the warning rest on this.
TEST(PackPrograms, FoundByContentSignedOnlyWhenTheSignatureVerifies) {
    const std::string setup = "KORVANTHELM/KORVANTHELM.exe";
    const Bytes unsigned_image = test::MakeSignableImage();
    const Bytes signed_image = SignProgramImage(unsigned_image);
    Bytes tampered = signed_image;
    tampered.at(kProgramHeaders + 100) ^= std::byte{0xFF};  // its code, after signing
    const Bytes mz_only = B("MZ, but no PE headers follow");
    // MZ and a DOS header whose e_lfanew points inside the file, but at
    // bytes that are not "PE\0\0".
    Bytes no_pe_signature = unsigned_image;
    no_pe_signature.at(kProgramPe + 1) = std::byte{'X'};
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, Bytes>> records;  // in package order
        std::size_t count;
        std::vector<std::string> unsigned_paths;
        // RequireProgramAsSetupProgram accepts the package, signed or not.
        bool setup_is_program = true;
    };
    const Case cases[] = {
        {"signed", {{setup, signed_image}}, 1, {}},
        {"signed, then one byte of code changed", {{setup, tampered}}, 1, {setup}},
        {"unsigned", {{setup, unsigned_image}}, 1, {setup}},
        {"MZ without PE headers is no program",
         {{"KORVANTHELM/0.exe", mz_only}, {setup, signed_image}},
         1,
         {}},
        {"the set-up program first, the others in package order",
         {{"KORVANTHELM/0.exe", unsigned_image},
          {setup, unsigned_image},
          {"KORVANTHELM/a.dll", tampered},
          {"KORVANTHELM/b.dll", signed_image}},
         4,
         {setup, "KORVANTHELM/0.exe", "KORVANTHELM/a.dll"}},
        // Windows finds the set-up program whatever the letter case of its name.
        {"the set-up program first in other letter case",
         {{"KORVANTHELM/0.exe", unsigned_image}, {"korvanthelm/Korvanthelm.EXE", unsigned_image}},
         2,
         {"korvanthelm/Korvanthelm.EXE", "KORVANTHELM/0.exe"}},
        {"a DOS header pointing at bytes that are no PE signature is no program",
         {{"KORVANTHELM/0.exe", no_pe_signature}, {setup, signed_image}},
         1,
         {}},
        {"a set-up program without its PE signature is none, a signed one beside it",
         {{setup, no_pe_signature}, {"KORVANTHELM/0.exe", signed_image}},
         1,
         {},
         false},
        {"a set-up program that is MZ only",
         {{setup, mz_only}, {"KORVANTHELM/0.exe", unsigned_image}},
         1,
         {"KORVANTHELM/0.exe"},
         false},
    };
    for (const Case& c : cases) {
        const PackagePrograms programs = FindPackagePrograms(ProgramTable(c.records));
        EXPECT_EQ(programs.count, c.count) << c.what;
        EXPECT_EQ(programs.unsigned_paths, c.unsigned_paths) << c.what;
        if (c.setup_is_program) {
            EXPECT_NO_THROW(RequireProgramAsSetupProgram(programs)) << c.what;
        } else {
            EXPECT_THROW(RequireProgramAsSetupProgram(programs), PackError) << c.what;
        }
    }
}

TEST(PackPrograms, DescriptionListsTenPathsThenCountsTheRest) {
    struct Case {
        std::size_t count;
        std::size_t unsigned_count;  // named p0, p1, ...
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "0 PE files, 0 unsigned"},
        {2, 0, "2 PE files, 0 unsigned"},
        {2, 1, "2 PE files, 1 unsigned: p0"},
        {10, 10, "10 PE files, 10 unsigned: p0, p1, p2, p3, p4, p5, p6, p7, p8, p9"},
        {12, 11, "12 PE files, 11 unsigned: p0, p1, p2, p3, p4, p5, p6, p7, p8, p9 and 1 more"},
    };
    for (const Case& c : cases) {
        PackagePrograms programs;
        programs.count = c.count;
        for (std::size_t i = 0; i < c.unsigned_count; ++i) {
            programs.unsigned_paths.push_back("p" + std::to_string(i));
        }
        EXPECT_EQ(DescribePrograms(programs), c.text);
    }
}

// What a signer may change in the executable it is given: the checksum and
// the certificate table's entry, and nothing else but what it appends.
TEST(PackSignerResult, OnlyChecksumAndCertificateEntryMayDiffer) {
    constexpr std::size_t kNone = ~std::size_t{0};
    struct Case {
        const char* what;
        std::size_t changed;  // kNone: no byte of the executable changed
        std::size_t appended;
        bool accepted;
    };
    const Case cases[] = {
        {"a signature appended", kNone, 16, true},
        {"nothing appended", kNone, 0, false},
        {"first byte of the checksum", kProgramChecksum, 16, true},
        {"last byte of the checksum", kProgramChecksum + 3, 16, true},
        {"byte before the checksum", kProgramChecksum - 1, 16, false},
        {"byte after the checksum", kProgramChecksum + 4, 16, false},
        {"first byte of the certificate entry", kProgramSecurityEntry, 16, true},
        {"last byte of the certificate entry", kProgramSecurityEntry + 7, 16, true},
        {"byte before the certificate entry", kProgramSecurityEntry - 1, 16, false},
        {"byte after the certificate entry", kProgramSecurityEntry + 8, 16, false},
        {"first byte of the file", 0, 16, false},
        {"last byte of the executable", 2 * kProgramHeaders - 1, 16, false},
    };
    const Bytes exe = test::MakeSignableImage();
    for (const Case& c : cases) {
        Bytes result = exe;
        if (c.changed != kNone) {
            result.at(c.changed) ^= std::byte{0x01};
        }
        result.resize(result.size() + c.appended, std::byte{0x5A});
        EXPECT_EQ(IsUnsignedPlusSignature(exe, result), c.accepted) << c.what;
    }
    EXPECT_FALSE(IsUnsignedPlusSignature(exe, Bytes(exe.begin(), exe.end() - 1)))
        << "shorter than the executable";
}

}  // namespace
}  // namespace korvanthelm::pack
