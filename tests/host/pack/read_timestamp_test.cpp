// The timestamp reader behind `verify`, on a small PE image signed and
// timestamped by osslsigncode here, with throw-away keys openssl makes: the
// time is read only from an RFC 3161 timestamp that belongs to the signature
// and is signed by its authority, never from the signer's own signingTime.
// Replies of hostile authorities come over HTTP from the signing tests' own
// authority (tests/signing/time_stamping_authority.py), which osslsigncode
// takes as they are; build's use of them is checked end to end by the
// signing test (tests/signing/timestamp_test.sh).
#include "tools/pack/pe/read_timestamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

using Bytes = std::vector<std::byte>;

// The signer claims one time (signingTime, its own word); the authority
// vouches for another, an hour from now, inside its two days of validity.
constexpr char kSigningTime[] = "1900000000";     // 2030-03-17 17:46:40 UTC
constexpr std::size_t kSignatureValueSize = 256;  // RSA-2048

constexpr std::size_t kOptional = test::kSignableImageOptional;
constexpr std::size_t kSecurityEntry = kOptional + 112 + 4 * 8;

// What a self-made authority can claim: times outside its certificate's
// validity, and kinds of reply the test authority gives (POST /KIND).
constexpr const char* kHostileKinds[] = {"wrong-imprint",  "last-byte-imprint", "altered-time",
                                         "no-certificate", "no-usage",          "signer-key",
                                         "wrong-time"};

std::uint64_t Get(const Bytes& image, std::size_t offset, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | std::to_integer<std::uint64_t>(image.at(offset + i));
    }
    return value;
}

void Put(Bytes& image, std::size_t offset, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        image.at(offset + i) = static_cast<std::byte>(value >> (8 * i));
    }
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

std::string Utc(std::time_t time, const char* format) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[40];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

// The DER signature's file range: [begin, end) of the certificate entry's
// PKCS #7 (30 82 <two length bytes> ...).
std::pair<std::size_t, std::size_t> SignatureDer(const Bytes& image) {
    const std::size_t begin = Get(image, kSecurityEntry, 4) + 8;
    const std::size_t length = Get(image, begin + 2, 1) << 8 | Get(image, begin + 3, 1);
    return {begin, begin + 4 + length};
}

struct Fixture {
    Bytes unsigned_image;
    Bytes signed_image;          // signed with a signingTime, no timestamp
    Bytes stamped_image;         // the same signature, timestamped
    std::string timestamp_text;  // the authority's time as the reader writes it
    std::string gen_time;        // the same as the TSTInfo holds it
    Bytes stamped_1970;          // by a sound authority, dated before its certificate
    Bytes stamped_2033;          // and after it
    Bytes own_key;               // the code signer's key as its own authority
    std::vector<std::pair<std::string, Bytes>> hostile;  // by the test authority's kinds

    Fixture() {
        const test::TempDir dir;
        const std::string openssl = KORVANTHELM_OPENSSL;
        const std::string osslsigncode = KORVANTHELM_OSSLSIGNCODE;
        const std::string in = "cd '" + dir.path() + "' && ";
        const std::string quiet = " >>log 2>&1";
        const std::time_t stamp_time = std::time(nullptr) + 3600;
        timestamp_text = Utc(stamp_time, "%Y-%m-%d %H:%M:%S UTC");
        gen_time = Utc(stamp_time, "%Y%m%d%H%M%SZ");
        unsigned_image = test::MakeSignableImage();
        test::WriteFile(dir / "unsigned.exe", unsigned_image);
        // The test authority starts first: it makes its keys while ours are made.
        Run(in + "(" + KORVANTHELM_PYTHON + " " + KORVANTHELM_TSA_SCRIPT + " --openssl " + openssl +
            " --dir tsa --lifetime 120 --signer-cert signer.pem --signer-key signer.key"
            " >port 2>tsa.log & echo $! >tsa.pid)");
        Run(in + openssl +
            " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=signer"
            " -keyout signer.key -out signer.pem" +
            quiet);
        Run(in + openssl +
            " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=tsa-ca"
            " -addext basicConstraints=critical,CA:TRUE -keyout ca.key -out ca.pem" +
            quiet);
        Run(in + "printf 'extendedKeyUsage=critical,timeStamping\\n' >tsa.ext && " + openssl +
            " req -new -newkey rsa:2048 -nodes -subj /CN=tsa -keyout tsa.key -out tsa.csr" + quiet +
            " && " + openssl +
            " x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 2"
            " -extfile tsa.ext -out tsa.pem" +
            quiet);
        // A code signer whose certificate also passes as a time-stamping one.
        Run(in + openssl +
            " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=both"
            " -addext extendedKeyUsage=critical,timeStamping -keyout both.key -out both.pem" +
            quiet);
        Run(in + osslsigncode + " sign -h sha256 -certs signer.pem -key signer.key -time " +
            kSigningTime + " -in unsigned.exe -out signed.exe" + quiet);
        const auto stamp = [&](const std::string& certs, const std::string& key, std::time_t time,
                               const std::string& in_file, const std::string& out) {
            Run(in + osslsigncode + " add -h sha256 -TSA-certs " + certs + " -TSA-key " + key +
                " -TSA-time " + std::to_string(time) + " -in " + in_file + " -out " + out + quiet);
            return test::ReadFile(dir / out);
        };
        signed_image = test::ReadFile(dir / "signed.exe");
        stamped_image = stamp("tsa.pem", "tsa.key", stamp_time, "signed.exe", "stamped.exe");
        stamped_1970 = stamp("tsa.pem", "tsa.key", 86400, "signed.exe", "1970.exe");
        stamped_2033 = stamp("tsa.pem", "tsa.key", 2000000000, "signed.exe", "2033.exe");
        Run(in + osslsigncode + " sign -h sha256 -certs both.pem -key both.key -in unsigned.exe" +
            " -out both-signed.exe" + quiet);
        own_key = stamp("both.pem", "both.key", stamp_time, "both-signed.exe", "own-key.exe");

        std::string port;
        for (int i = 0; i < 600 && port.empty(); ++i) {
            std::ifstream file(dir / "port");
            std::string line;
            if (std::getline(file, line) && !file.eof()) {
                port = line;  // a whole line: the authority listens
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        for (const char* kind : kHostileKinds) {
            const std::string out = std::string(kind) + ".exe";
            Run(in + osslsigncode + " add -h sha256 -ts http://127.0.0.1:" + port + "/" + kind +
                " -in signed.exe -out " + out + quiet);
            hostile.emplace_back(kind, test::ReadFile(dir / out));
        }
        Run(in + "kill $(cat tsa.pid)");
    }
};

// Flips the lowest bit of byte `index` of the first occurrence of `what` in
// `image`.
void FlipInside(Bytes& image, const Bytes& what, std::size_t index) {
    const auto found = std::search(image.begin(), image.end(), what.begin(), what.end());
    ASSERT_NE(found, image.end()) << "not found in the image";
    found[index] ^= std::byte{0x01};
}

// The signer's signature value: the last bytes of an untimestamped signature,
// the same bytes inside the timestamped one.
void FlipSignerSignature(Bytes& image, const Fixture& fixture) {
    const auto [begin, end] = SignatureDer(fixture.signed_image);
    const Bytes value(fixture.signed_image.begin() + end - kSignatureValueSize,
                      fixture.signed_image.begin() + end);
    FlipInside(image, value, kSignatureValueSize / 2);
}

// One digit of the authority's genTime: a forged time.
void ForgeTime(Bytes& image, const Fixture& fixture) {
    const std::string text = fixture.gen_time;
    Bytes bytes;
    for (const char c : text) {
        bytes.push_back(static_cast<std::byte>(c));
    }
    FlipInside(image, bytes, /*index=*/3);  // the year's last digit
}

// The authority's signature value: the last byte of the whole signature.
void FlipAuthoritySignature(Bytes& image, const Fixture&) {
    image.at(SignatureDer(image).second - 1) ^= std::byte{0x01};
}

// The first certificate entry's header (WIN_CERTIFICATE: dwLength,
// wRevision, wCertificateType), which no digest covers.
void SetEntryLength(Bytes& image, std::uint64_t length) {
    Put(image, Get(image, kSecurityEntry, 4), length, 4);
}
void EntryLengthIsTable(Bytes& image, const Fixture&) {
    SetEntryLength(image, Get(image, kSecurityEntry + 4, 4));
}
void EntryLengthPastTable(Bytes& image, const Fixture&) {
    SetEntryLength(image, Get(image, kSecurityEntry + 4, 4) + 1);
}
void EntryLengthHeaderOnly(Bytes& image, const Fixture&) {
    SetEntryLength(image, 8);
}
void EntryLengthOneByte(Bytes& image, const Fixture&) {
    SetEntryLength(image, 9);
}
void EntryRevision1(Bytes& image, const Fixture&) {
    Put(image, Get(image, kSecurityEntry, 4) + 4, 0x0100, 2);
}
void EntryTypeX509(Bytes& image, const Fixture&) {
    Put(image, Get(image, kSecurityEntry, 4) + 6, 0x0001, 2);
}
// The table's entry one byte longer than the file.
void TablePastFile(Bytes& image, const Fixture&) {
    Put(image, kSecurityEntry + 4, image.size() - Get(image, kSecurityEntry, 4) + 1, 4);
}
// The signature's DER cut one byte short of what its header says.
void DerCutShort(Bytes& image, const Fixture&) {
    SetEntryLength(image, SignatureDer(image).second - Get(image, kSecurityEntry, 4) - 1);
}

enum class Source { kUnsigned, kSigned, kStamped, k1970, k2033, kOwnKey, kHostile };

struct Case {
    const char* what;
    Source source;
    void (*tamper)(Bytes&, const Fixture&);  // nullptr: as osslsigncode made it
    bool has_time;                           // the fixture's time is read
    const char* error;                       // the expected PackError, nullptr: none
    const char* kind = nullptr;              // for kHostile: the authority's kind
};

const Case kCases[] = {
    {"unsigned", Source::kUnsigned, nullptr, false, nullptr},
    {"signed with a signingTime, no timestamp", Source::kSigned, nullptr, false, nullptr},
    {"timestamped", Source::kStamped, nullptr, true, nullptr},
    {"timestamp of another signature value", Source::kStamped, FlipSignerSignature, false,
     "refused: the timestamp was not made for this signature"},
    {"genTime changed", Source::kStamped, ForgeTime, false,
     "refused: the timestamp's signature does not verify"},
    {"authority's signature changed", Source::kStamped, FlipAuthoritySignature, false,
     "refused: the timestamp's signature does not verify"},
    // Boundaries of the certificate entry around the signature.
    {"entry length the whole table (padding after the DER)", Source::kStamped, EntryLengthIsTable,
     true, nullptr},
    {"entry length one past the table", Source::kStamped, EntryLengthPastTable, false,
     "the first certificate entry's length does not fit the certificate table"},
    {"entry length the header alone", Source::kStamped, EntryLengthHeaderOnly, false,
     "the first certificate entry's length does not fit the certificate table"},
    {"entry length one byte of DER", Source::kStamped, EntryLengthOneByte, false,
     "cannot read the signature as PKCS #7 SignedData"},
    {"entry length one short of the DER", Source::kStamped, DerCutShort, false,
     "cannot read the signature as PKCS #7 SignedData"},
    {"entry revision 1", Source::kStamped, EntryRevision1, false,
     "the first certificate entry is not a PKCS #7 signature"},
    {"entry type X.509", Source::kStamped, EntryTypeX509, false,
     "the first certificate entry is not a PKCS #7 signature"},
    {"table one byte past the file", Source::kStamped, TablePastFile, false,
     "the certificate table lies outside the file"},
    // Authorities whose word is worth nothing.
    {"dated 1970, before the authority's certificate", Source::k1970, nullptr, false,
     "refused: the timestamp's time lies outside its authority certificate's validity"},
    {"dated 2033, after the authority's certificate", Source::k2033, nullptr, false,
     "refused: the timestamp's time lies outside its authority certificate's validity"},
    {"stamped with the code signer's own key", Source::kOwnKey, nullptr, false,
     "refused: the timestamp is signed with the code signer's own key"},
    {"reply for another imprint", Source::kHostile, nullptr, false,
     "refused: the timestamp was not made for this signature", "wrong-imprint"},
    {"reply for an imprint off in its last byte", Source::kHostile, nullptr, false,
     "refused: the timestamp was not made for this signature", "last-byte-imprint"},
    {"reply with its time altered", Source::kHostile, nullptr, false,
     "refused: the timestamp's signature does not verify", "altered-time"},
    {"reply without the authority's certificate", Source::kHostile, nullptr, false,
     "refused: the timestamp does not carry its authority's certificate", "no-certificate"},
    {"reply signed without the timeStamping usage", Source::kHostile, nullptr, false,
     "refused: the timestamp's authority certificate is not a time-stamping one", "no-usage"},
    {"reply signed by the code signer (no timeStamping usage)", Source::kHostile, nullptr, false,
     "refused: the timestamp's authority certificate is not a time-stamping one", "signer-key"},
    {"reply dated 2099 by a sound authority", Source::kHostile, nullptr, false,
     "refused: the timestamp's time lies outside its authority certificate's validity",
     "wrong-time"},
};

const Bytes& ImageOf(const Fixture& fixture, const Case& c) {
    switch (c.source) {
        case Source::kUnsigned:
            return fixture.unsigned_image;
        case Source::kSigned:
            return fixture.signed_image;
        case Source::kStamped:
            return fixture.stamped_image;
        case Source::k1970:
            return fixture.stamped_1970;
        case Source::k2033:
            return fixture.stamped_2033;
        case Source::kOwnKey:
            return fixture.own_key;
        case Source::kHostile:
            break;
    }
    for (const auto& [kind, image] : fixture.hostile) {
        if (kind == c.kind) {
            return image;
        }
    }
    throw std::runtime_error("no image of this kind");
}

TEST(ReadSigningTimestampTest, SignedAndTimestampedImages) {
    const Fixture fixture;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Bytes image = ImageOf(fixture, c);
        if (c.tamper != nullptr) {
            c.tamper(image, fixture);
        }
        try {
            const std::optional<std::string> time = ReadSigningTimestamp(image);
            EXPECT_EQ(c.error, nullptr) << "accepted";
            EXPECT_EQ(time, c.has_time ? std::optional<std::string>(fixture.timestamp_text)
                                       : std::nullopt);
        } catch (const PackError& error) {
            ASSERT_NE(c.error, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
