// The signature reader behind `verify` on a signed executable, given damaged
// certificate tables: each must be reported as PackError or as no signature,
// never read outside the file (ASan watches); and whole signatures made here
// by osslsigncode, whose signing certificate was edited after it was issued.
// The signing test (tests/signing) tampers with signed product exes.
#include "tools/pack/pe/check_authenticode_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/read_timestamp.h"

namespace korvanthelm::pack {
namespace {

using Bytes = std::vector<std::byte>;

constexpr std::size_t kPe = 0x40;
constexpr std::size_t kOptional = kPe + 24;
constexpr std::size_t kSecurityEntry = kOptional + 112 + 4 * 8;
constexpr std::size_t kHeaders = 0x200;
constexpr std::size_t kTableSize = 0x40;

struct Shape {
    std::uint32_t optional_size = 240;
    std::uint32_t directory_count = 16;
    std::uint64_t table_offset = kHeaders;
    std::uint64_t table_size = kTableSize;
    std::uint32_t length = kTableSize;  // WIN_CERTIFICATE.dwLength
    std::uint32_t revision = 0x0200;
    std::uint32_t type = 0x0002;  // PKCS_SIGNED_DATA
    std::size_t file_size = kHeaders + kTableSize;
};

// PE32+ headers, then a certificate table whose entry holds bytes that are
// not DER at all.
Bytes MakeImage(const Shape& shape) {
    Bytes image(std::max(shape.file_size, kHeaders + 8), std::byte{0xA5});
    std::fill(image.begin(), image.begin() + kHeaders, std::byte{0});
    image[0] = std::byte{'M'};
    image[1] = std::byte{'Z'};
    test::PutLittleEndian(image, 0x3C, kPe, 4);
    test::PutLittleEndian(image, kPe, 0x00004550, 4);
    test::PutLittleEndian(image, kPe + 4, 0x8664, 2);
    test::PutLittleEndian(image, kPe + 20, shape.optional_size, 2);
    test::PutLittleEndian(image, kOptional, 0x20B, 2);
    test::PutLittleEndian(image, kOptional + 108, shape.directory_count, 4);
    test::PutLittleEndian(image, kSecurityEntry, shape.table_offset, 4);
    test::PutLittleEndian(image, kSecurityEntry + 4, shape.table_size, 4);
    test::PutLittleEndian(image, kHeaders, shape.length, 4);
    test::PutLittleEndian(image, kHeaders + 4, shape.revision, 2);
    test::PutLittleEndian(image, kHeaders + 6, shape.type, 2);
    image.resize(shape.file_size);
    return image;
}

struct Case {
    const char* what;
    Shape shape;
    const char* error;  // nullptr: read as not signed
};

const Case kCases[] = {
    {"no table", {.table_offset = 0, .table_size = 0}, nullptr},
    {"no room for a security entry", {.directory_count = 4}, nullptr},
    {"table ends one byte past the file", {.table_size = kTableSize + 1}, "outside the file"},
    {"offset plus size wraps 32 bits",
     {.table_offset = 0xFFFFFFF8, .table_size = 0x10},
     "outside the file"},
    {"table over the headers", {.table_offset = kSecurityEntry}, "overlaps the headers"},
    {"entry longer than the table", {.length = kTableSize + 1}, "does not fit"},
    {"entry of header length only", {.length = 8}, "does not fit"},
    {"revision 1.0 entry", {.revision = 0x0100}, "not a PKCS #7 signature"},
    {"X.509 entry", {.type = 0x0001}, "not a PKCS #7 signature"},
    // Every bound just holds: the contents are what is refused.
    {"table up to the last byte", {}, "does not hold a PKCS #7 structure"},
    {"headers cut inside the optional header", {.file_size = kOptional + 100}, "outside the file"},
    // The security entry must lie inside the optional header the COFF header
    // sizes, and that header inside the file.
    {"optional header ends before the security entry",
     {.optional_size = kSecurityEntry - kOptional + 4},
     nullptr},
    {"optional header runs past the file",
     {.optional_size = 0xFFFF},
     "optional header lies outside"},
};

TEST(CheckAuthenticodeSignatureTest, DamagedCertificateTables) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const Bytes image = MakeImage(c.shape);
        if (c.error == nullptr) {
            EXPECT_FALSE(CheckAuthenticodeSignature(image).has_value());
            continue;
        }
        try {
            CheckAuthenticodeSignature(image);
            ADD_FAILURE() << "accepted";
        } catch (const PackError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

// The one reader of the table's place, which the Linux and the Windows
// signature checks, verify's proof, build's stub check and the signer checks
// all start from: a damaged table is refused in the same words whichever of
// them meets it first (Windows once said "lies outside the file" for a table
// over the headers). The same for the one reader of the signature entry's
// header, which verify runs once for the signature and its timestamp and
// each reader runs when given the file alone: the signature check and the
// timestamp reader once each parsed it, and must still refuse alike. Rows at
// each bound: one byte either side.
TEST(CheckAuthenticodeSignatureTest, FindCertificateTableOneTextPerDamage) {
    struct Row {
        const char* what;
        Shape shape;
        const char* refusal;  // the whole text; nullptr: found where the entry says
    };
    constexpr char kEntryDoesNotFit[] =
        "malformed signature: the first certificate entry's length does not fit the certificate "
        "table";
    constexpr char kEntryNotPkcs7[] =
        "malformed signature: the first certificate entry is not a PKCS #7 signature";
    const Row kRows[] = {
        {"table right after its entry", {.table_offset = kSecurityEntry + 8}, nullptr},
        {"table over the entry's last byte",
         {.table_offset = kSecurityEntry + 7},
         "malformed signature: the certificate table overlaps the headers"},
        {"table at offset 1",
         {.table_offset = 1},
         "malformed signature: the certificate table "
         "overlaps the headers"},
        {"table up to the last byte", {}, nullptr},
        {"table one byte past the file",
         {.table_size = kTableSize + 1},
         "malformed signature: the certificate table lies outside the file"},
        {"offset plus size wraps 32 bits",
         {.table_offset = 0xFFFFFFF8, .table_size = 0x10},
         "malformed signature: the certificate table lies outside the file"},
        {"optional header runs past the file",
         {.optional_size = 0xFFFF},
         "malformed executable: the optional header lies outside the file"},
        // The entry's header: dwLength inside the table and past its own 8
        // bytes, revision 2.0, PKCS_SIGNED_DATA.
        {"entry one byte short of the table", {.length = kTableSize - 1}, nullptr},
        {"entry of one byte after its header", {.length = 9}, nullptr},
        {"entry one byte longer than the table", {.length = kTableSize + 1}, kEntryDoesNotFit},
        {"entry of its header only", {.length = 8}, kEntryDoesNotFit},
        {"entry of length 0", {.length = 0}, kEntryDoesNotFit},
        {"revision 1.0 entry", {.revision = 0x0100}, kEntryNotPkcs7},
        {"revision 2.0 entry of type X.509", {.type = 0x0001}, kEntryNotPkcs7},
        {"table shorter than an entry's header", {.table_size = 4, .length = 4}, kEntryDoesNotFit},
        {"table of 4 bytes ending the file, the header past it",
         {.table_size = 4, .file_size = kHeaders + 4},
         "malformed executable: certificate table lies outside the file"},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        const Bytes image = MakeImage(row.shape);
        if (row.refusal == nullptr) {
            const std::optional<CertificateTable> table = FindCertificateTable(image);
            ASSERT_TRUE(table.has_value());
            EXPECT_EQ(table->checksum, kOptional + 64);
            EXPECT_EQ(table->security_entry, kSecurityEntry);
            EXPECT_EQ(table->table_offset, row.shape.table_offset);
            EXPECT_EQ(table->table_size, row.shape.table_size);
            EXPECT_TRUE(table->IsSigned());
            if (row.shape.table_offset != kHeaders) {
                continue;  // MakeImage writes the entry's header at kHeaders only
            }
            const SignatureEntry entry = ReadSignatureEntry(image, *table);
            EXPECT_EQ(entry.pkcs7.data(), image.data() + kHeaders + 8);
            EXPECT_EQ(entry.pkcs7.size(), row.shape.length - 8);
            EXPECT_EQ(entry.padding.data(), image.data() + kHeaders + row.shape.length);
            EXPECT_EQ(entry.padding.size(), row.shape.table_size - row.shape.length);
            continue;
        }
        const struct {
            const char* name;
            std::function<void()> read;
        } kReaders[] = {
            {"the table and entry readers",
             [&] { ReadSignatureEntry(image, FindCertificateTable(image).value()); }},
            {"the signature check", [&] { CheckAuthenticodeSignature(image); }},
            {"the timestamp reader", [&] { ReadSigningTimestamp(image); }},
        };
        for (const auto& reader : kReaders) {
            try {
                reader.read();
                ADD_FAILURE() << "accepted by " << reader.name;
            } catch (const PackError& error) {
                EXPECT_EQ(std::string(error.what()), row.refusal) << reader.name;
            }
        }
    }
    // An entry of zeros is an unsigned image, not a table at offset 0.
    const std::optional<CertificateTable> unsigned_table =
        FindCertificateTable(MakeImage({.table_offset = 0, .table_size = 0}));
    ASSERT_TRUE(unsigned_table.has_value());
    EXPECT_FALSE(unsigned_table->IsSigned());
    EXPECT_FALSE(FindCertificateTable(MakeImage({.directory_count = 4})).has_value());
}

// The same damaged tables given to verify: one line and exit 1, and the
// Windows packer, when this run has it, refusing in the same words where it
// once said "lies outside the file" for a table over the headers.
TEST(CheckAuthenticodeSignatureTest, VerifyRefusesADamagedTableAlikeOnBothSystems) {
    const test::TempDir dir;
    const struct {
        const char* what;
        Shape shape;
        const char* refusal;
    } kRows[] = {
        {"table over the entry's last byte",
         {.table_offset = kSecurityEntry + 7},
         "korvanthelm-pack: malformed signature: the certificate table overlaps the headers\n"},
        {"table one byte past the file",
         {.table_size = kTableSize + 1},
         "korvanthelm-pack: malformed signature: the certificate table lies outside the file\n"},
        // The Windows packer reads the entry's header itself before the
        // system judges the signature, which would call it a certificate
        // that does not verify.
        {"revision 1.0 entry",
         {.revision = 0x0100},
         "korvanthelm-pack: malformed signature: the first certificate entry is not a PKCS #7 "
         "signature\n"},
        {"entry one byte longer than the table",
         {.length = kTableSize + 1},
         "korvanthelm-pack: malformed signature: the first certificate entry's length does not "
         "fit the certificate table\n"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.what);
        test::WriteFile(dir / "damaged.exe", MakeImage(row.shape));
        const std::vector<std::string> args = {"verify", dir / "damaged.exe"};
        const test::RunResult run = test::RunPacker(args);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err, row.refusal);
        if (const auto windows = test::RunWindowsPacker(args)) {
            EXPECT_EQ(windows->exit_code, 1);
            EXPECT_EQ(windows->err, row.refusal);
        }
    }
}

void RunShell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

// Occurrence `nth` (from 1) of `name` in `image` with one letter changed: a
// signer renamed after issue. (A self-signed certificate names itself first
// as issuer, then as subject.)
void RenameSubject(Bytes& image, const std::string& name, int nth) {
    const Bytes what(reinterpret_cast<const std::byte*>(name.data()),
                     reinterpret_cast<const std::byte*>(name.data()) + name.size());
    auto found = image.begin() - 1;
    for (int i = 0; i < nth; ++i) {
        found = std::search(found + 1, image.end(), what.begin(), what.end());
        ASSERT_NE(found, image.end());
    }
    found[0] ^= std::byte{0x20};  // the first letter's case
}

void FreeBytes(unsigned char* bytes) {
    OPENSSL_free(bytes);
}

// `image`, signed, with its signature re-encoded: SignedData's
// digestAlgorithms holds `algorithms` copies of the signed SHA-256 (a second
// copy changes only the count, nothing a verifier reads), and `tail` follows
// the DER inside the certificate table, which the entry's size covers.
// Nothing that is signed or digested changes.
Bytes Reencoded(const Bytes& image, int algorithms, const Bytes& tail) {
    const std::optional<CertificateTable> table = FindCertificateTable(image);
    if (!table || !table->IsSigned() || table->table_offset + table->table_size != image.size()) {
        throw std::runtime_error("no certificate table at the end of the image");
    }
    const auto* der =
        reinterpret_cast<const unsigned char*>(image.data() + table->table_offset + 8);
    const UniquePkcs7 pkcs7(d2i_PKCS7(nullptr, &der, static_cast<long>(table->table_size - 8)));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) {
        throw std::runtime_error("no SignedData in the certificate table");
    }
    STACK_OF(X509_ALGOR)* const list = pkcs7->d.sign->md_algs;
    const UniqueOpenSsl<X509_ALGOR, X509_ALGOR_free> signed_one(
        X509_ALGOR_dup(sk_X509_ALGOR_value(list, 0)));
    while (sk_X509_ALGOR_num(list) > 0) {
        X509_ALGOR_free(sk_X509_ALGOR_pop(list));
    }
    for (int i = 0; i < algorithms; ++i) {
        UniqueOpenSsl<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_dup(signed_one.get()));
        if (!algorithm || sk_X509_ALGOR_push(list, algorithm.get()) == 0) {
            throw std::runtime_error("cannot make a digest algorithm");
        }
        algorithm.release();  // the stack owns it now
    }
    unsigned char* raw = nullptr;
    const int size = i2d_PKCS7(pkcs7.get(), &raw);
    const UniqueOpenSsl<unsigned char, FreeBytes> encoded(raw);
    if (size <= 0) {
        throw std::runtime_error("cannot encode the SignedData");
    }
    Bytes result(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(table->table_offset));
    const std::size_t entry = 8 + static_cast<std::size_t>(size);
    result.resize(result.size() + 8);
    test::PutLittleEndian(result, table->table_offset, entry, 4);
    test::PutLittleEndian(result, table->table_offset + 4, 0x0200, 2);
    test::PutLittleEndian(result, table->table_offset + 6, 0x0002, 2);
    const auto* const bytes = reinterpret_cast<const std::byte*>(encoded.get());
    result.insert(result.end(), bytes, bytes + size);
    result.insert(result.end(), tail.begin(), tail.end());
    test::PutLittleEndian(result, table->security_entry + 4, entry + tail.size(), 4);
    return result;
}

// The signer's name is only as good as its certificate: a subject edited
// after issue keeps the key that verifies the file, so the certificate's own
// signature must verify too, with its issuer's key from the signature or its
// own when self-signed.
TEST(CheckAuthenticodeSignatureTest, SignerCertificateMustVerify) {
    const test::TempDir dir;
    const std::string openssl = KORVANTHELM_OPENSSL;
    const std::string osslsigncode = KORVANTHELM_OSSLSIGNCODE;
    const std::string in = "cd '" + dir.path() + "' && ";
    const std::string quiet = " >>log 2>&1";
    test::WriteFile(dir / "unsigned.exe", test::MakeSignableImage());
    RunShell(in + openssl +
             " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=SelfSigner"
             " -keyout self.key -out self.pem" +
             quiet);
    RunShell(in + openssl +
             " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=IssuingAuthority"
             " -addext basicConstraints=critical,CA:TRUE -keyout ca.key -out ca.pem" +
             quiet);
    RunShell(
        in + openssl + " req -new -newkey rsa:2048 -nodes -subj /CN=IssuedSigner" +
        " -keyout leaf.key -out leaf.csr" + quiet + " && " + openssl +
        " x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 2 -out leaf.pem" +
        quiet + " && cat leaf.pem ca.pem >chain.pem");
    const auto sign = [&](const std::string& certs, const std::string& key) {
        const std::string out = certs + ".exe";
        RunShell(in + osslsigncode + " sign -h sha256 -certs " + certs + " -key " + key +
                 " -in unsigned.exe -out " + out + quiet);
        return test::ReadFile(dir / out);
    };
    const Bytes self_signed = sign("self.pem", "self.key");
    const Bytes with_chain = sign("chain.pem", "leaf.key");
    const Bytes leaf_alone = sign("leaf.pem", "leaf.key");

    struct Case {
        const char* what;
        Bytes image;
        const char* renamed;  // the subject changed after issue, or nullptr
        int occurrence;       // of the subject's name in the signature
        bool intact;
    };
    const Case kCases[] = {
        {"self-signed", self_signed, nullptr, 0, true},
        {"self-signed, renamed", self_signed, "SelfSigner", 2, false},
        {"issued, with its issuer", with_chain, nullptr, 0, true},
        {"issued, with its issuer, renamed", with_chain, "IssuedSigner", 1, false},
        // Nothing in the signature verifies the certificate: nobody is named.
        {"issued, without its issuer", leaf_alone, nullptr, 0, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Bytes image = c.image;
        if (c.renamed != nullptr) {
            RenameSubject(image, c.renamed, c.occurrence);
        }
        const std::optional<AuthenticodeSignature> signature = CheckAuthenticodeSignature(image);
        ASSERT_TRUE(signature.has_value());
        EXPECT_EQ(signature->certificate_intact, c.intact);
        EXPECT_EQ(signature->Matches(), c.intact);
        EXPECT_EQ(signature->signed_digest, signature->file_digest);
    }

    // Given to verify, a signature that does not hold is the one refusal,
    // before anything in the file is examined (this one holds no package,
    // which would be refused otherwise).
    Bytes changed = self_signed;
    changed[test::kSignableImageHeaders + 5] ^= std::byte{1};
    const AuthenticodeSignature broken = CheckAuthenticodeSignature(changed).value();
    ASSERT_NE(broken.file_digest, broken.signed_digest);
    Bytes renamed = self_signed;
    RenameSubject(renamed, "SelfSigner", 2);
    const struct {
        const char* what;
        const Bytes& image;
        std::string refusal;
    } kVerified[] = {
        {"one byte changed after signing", changed,
         "the file was changed after it was signed (its SHA256 digest is " + broken.file_digest +
             ", the signature holds " + broken.signed_digest + ")"},
        {"self-signed, renamed", renamed,
         "the signer's certificate does not verify with its issuer's key (changed after it was "
         "issued, or its issuer's certificate is not in the signature)"},
    };
    for (const auto& row : kVerified) {
        SCOPED_TRACE(row.what);
        test::WriteFile(dir / "judged.exe", row.image);
        const test::RunResult run = test::RunPacker({"verify", dir / "judged.exe"});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err, "korvanthelm-pack: refused: " + row.refusal + "\n");
    }

    // SignedData's digestAlgorithms (the first SHA-256 identifier in the
    // signature) damaged: refused as such, and PKCS7_verify, which leaks its
    // copy of the content when it cannot set up a digest named there, is never
    // reached with it (LeakSanitizer watches).
    const Bytes kSha256Oid = {std::byte{0x60}, std::byte{0x86}, std::byte{0x48},
                              std::byte{0x01}, std::byte{0x65}, std::byte{0x03},
                              std::byte{0x04}, std::byte{0x02}, std::byte{0x01}};
    struct Damage {
        const char* what;
        std::byte last_arc;  // of 2.16.840.1.101.3.4.2.x
        const char* error;
    };
    const Damage kDamages[] = {
        {"an unknown digest algorithm", std::byte{0x7F}, "not that of its content"},
        {"SHA-384, not the content's SHA-256", std::byte{0x02}, "not that of its content"},
        {"SHA-256 as signed (the near miss)", std::byte{0x01}, nullptr},
    };
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.what);
        Bytes image = self_signed;
        const auto oid =
            std::search(image.begin(), image.end(), kSha256Oid.begin(), kSha256Oid.end());
        ASSERT_NE(oid, image.end());
        oid[kSha256Oid.size() - 1] = d.last_arc;
        if (d.error == nullptr) {
            EXPECT_TRUE(CheckAuthenticodeSignature(image).value().Matches());
            continue;
        }
        try {
            CheckAuthenticodeSignature(image);
            ADD_FAILURE() << "accepted";
        } catch (const PackError& error) {
            EXPECT_NE(std::string(error.what()).find(d.error), std::string::npos) << error.what();
        }
    }

    // The same signature re-encoded. digestAlgorithms and the bytes after the
    // signature lie outside everything signed or digested, so only these
    // checks stand between them and a file that still verifies.
    struct Encoding {
        const char* what;
        int algorithms;
        Bytes tail;         // after the DER, inside the table
        const char* error;  // nullptr: accepted, and it verifies
    };
    const Encoding kEncodings[] = {
        {"one algorithm, no padding", 1, {}, nullptr},
        {"no digest algorithm", 0, {}, "this signature names 0"},
        {"two digest algorithms",
         2,
         {},
         "Authenticode names exactly one digest algorithm, "
         "this signature names 2"},
        {"seven zero bytes of padding", 1, Bytes(7, std::byte{0}), nullptr},
        {"eight zero bytes after the signature", 1, Bytes(8, std::byte{0}),
         "the certificate table holds more than the signature"},
        {"one non-zero byte after the signature",
         1,
         {std::byte{0x01}},
         "the certificate table holds more than the signature"},
        {"a non-zero byte after six zero bytes",
         1,
         {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0},
          std::byte{0x80}},
         "the certificate table holds more than the signature"},
    };
    for (const Encoding& e : kEncodings) {
        SCOPED_TRACE(e.what);
        const Bytes image = Reencoded(self_signed, e.algorithms, e.tail);
        if (e.error == nullptr) {
            EXPECT_TRUE(CheckAuthenticodeSignature(image).value().Matches());
            continue;
        }
        try {
            CheckAuthenticodeSignature(image);
            ADD_FAILURE() << "accepted";
        } catch (const PackError& error) {
            EXPECT_NE(std::string(error.what()).find(e.error), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
