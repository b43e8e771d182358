// The timestamp reader behind `verify`, on a small PE image signed and
// timestamped by osslsigncode here, with throw-away keys openssl makes: the
// time is read only from an RFC 3161 timestamp that belongs to the signature
// and is signed by its authority, never from the signer's own signingTime.
// The timestamp from a time-stamping authority over HTTP is checked end to
// end by the signing test (tests/signing/timestamp_test.sh).
#include "tools/pack/pe/read_timestamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

using Bytes = std::vector<std::byte>;

// The signer claims one time (signingTime, its own word); the authority
// vouches for another. Both lie outside the throw-away certificates'
// validity: the reader does not judge validity, osslsigncode verify does.
constexpr char kSigningTime[] = "1900000000";    // 2030-03-17 17:46:40 UTC
constexpr char kTimestampTime[] = "2000000000";  // 2033-05-18 03:33:20 UTC
constexpr char kTimestampText[] = "2033-05-18 03:33:20 UTC";
constexpr char kTimestampGenTime[] = "20330518033320Z";  // as the TSTInfo holds it
constexpr std::size_t kSignatureValueSize = 256;         // RSA-2048

constexpr std::size_t kOptional = test::kSignableImageOptional;
constexpr std::size_t kSecurityEntry = kOptional + 112 + 4 * 8;

std::uint64_t Get(const Bytes& image, std::size_t offset, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | std::to_integer<std::uint64_t>(image.at(offset + i));
    }
    return value;
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
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
    Bytes signed_image;   // signed with a signingTime, no timestamp
    Bytes stamped_image;  // the same signature, timestamped

    Fixture() {
        const test::TempDir dir;
        const std::string openssl = KORVANTHELM_OPENSSL;
        const std::string osslsigncode = KORVANTHELM_OSSLSIGNCODE;
        const std::string in = "cd '" + dir.path() + "' && ";
        const std::string quiet = " >>log 2>&1";
        unsigned_image = test::MakeSignableImage();
        test::WriteFile(dir / "unsigned.exe", unsigned_image);
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
        Run(in + osslsigncode + " sign -h sha256 -certs signer.pem -key signer.key -time " +
            kSigningTime + " -in unsigned.exe -out signed.exe" + quiet);
        Run(in + osslsigncode + " add -h sha256 -TSA-certs tsa.pem -TSA-key tsa.key -TSA-time " +
            kTimestampTime + " -in signed.exe -out stamped.exe" + quiet);
        signed_image = test::ReadFile(dir / "signed.exe");
        stamped_image = test::ReadFile(dir / "stamped.exe");
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
void ForgeTime(Bytes& image, const Fixture&) {
    const std::string text = kTimestampGenTime;
    Bytes bytes;
    for (const char c : text) {
        bytes.push_back(static_cast<std::byte>(c));
    }
    FlipInside(image, bytes, /*index=*/3);  // 2033 -> 2032
}

// The authority's signature value: the last byte of the whole signature.
void FlipAuthoritySignature(Bytes& image, const Fixture&) {
    image.at(SignatureDer(image).second - 1) ^= std::byte{0x01};
}

enum class Source { kUnsigned, kSigned, kStamped };

struct Case {
    const char* what;
    Source source;
    void (*tamper)(Bytes&, const Fixture&);  // nullptr: as osslsigncode made it
    const char* time;                        // the expected time, nullptr: none
    const char* error;                       // the expected PackError, nullptr: none
};

const Case kCases[] = {
    {"unsigned", Source::kUnsigned, nullptr, nullptr, nullptr},
    {"signed with a signingTime, no timestamp", Source::kSigned, nullptr, nullptr, nullptr},
    {"timestamped", Source::kStamped, nullptr, kTimestampText, nullptr},
    {"timestamp of another signature value", Source::kStamped, FlipSignerSignature, nullptr,
     "refused: the timestamp was not made for this signature"},
    {"genTime changed", Source::kStamped, ForgeTime, nullptr,
     "refused: the timestamp's signature does not verify"},
    {"authority's signature changed", Source::kStamped, FlipAuthoritySignature, nullptr,
     "refused: the timestamp's signature does not verify"},
};

TEST(ReadSigningTimestampTest, SignedAndTimestampedImages) {
    const Fixture fixture;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Bytes image = c.source == Source::kUnsigned ? fixture.unsigned_image
                      : c.source == Source::kSigned ? fixture.signed_image
                                                    : fixture.stamped_image;
        if (c.tamper != nullptr) {
            c.tamper(image, fixture);
        }
        try {
            const std::optional<std::string> time = ReadSigningTimestamp(image);
            EXPECT_EQ(c.error, nullptr) << "accepted";
            EXPECT_EQ(time, c.time == nullptr ? std::nullopt : std::optional<std::string>(c.time));
        } catch (const PackError& error) {
            ASSERT_NE(c.error, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
