// The PE reader behind `list`/`verify` on a built executable: a hand-made
// PE32+ image with a resource tree, whole and damaged in each structure it
// walks through. Damage must give PackError, never a read outside the file.
#include "tools/pack/pe/find_package_resource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/pe_checksum.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

using Bytes = std::vector<std::byte>;

void Put(Bytes& image, std::size_t offset, std::uint64_t value, int size) {
    if (image.size() < offset + size) {
        image.resize(offset + size);
    }
    for (int i = 0; i < size; ++i) {
        image[offset + i] = static_cast<std::byte>(value >> (8 * i));
    }
}

// Offsets of the parts of the image, so tests can damage one of them.
constexpr std::size_t kPe = 0x40;
constexpr std::size_t kOptional = kPe + 24;
constexpr std::size_t kSections = kOptional + 240;
constexpr std::size_t kRaw = 0x200;
constexpr std::uint32_t kRsrcRva = 0x1000;
constexpr std::size_t kTypeDir = 0x18;
constexpr std::size_t kNameDir = 0x30;
constexpr std::size_t kDataEntry = 0x70;
constexpr std::size_t kData = 0x80;

struct ImageShape {
    std::uint32_t type = 10;  // RT_RCDATA
    std::uint32_t name = 101;
    int languages = 1;
};

// A minimal PE32+ image: one .rsrc section holding type -> name -> language
// -> data entry -> `payload`, then `trailer` after the section; with a `slot`,
// a second section .kdigest holding it, after the trailer.
Bytes MakeImage(const Bytes& payload, const ImageShape& shape = {}, const Bytes& trailer = {},
                const Bytes& slot = {}) {
    Bytes image(kRaw, std::byte{0});
    image[0] = std::byte{'M'};
    image[1] = std::byte{'Z'};
    Put(image, 0x3C, kPe, 4);
    Put(image, kPe, 0x00004550, 4);
    Put(image, kPe + 4, 0x8664, 2);  // x86-64
    Put(image, kPe + 6, 1, 2);       // one section
    Put(image, kPe + 20, 240, 2);    // optional header size
    Put(image, kOptional, 0x20B, 2);
    Put(image, kOptional + 108, 16, 4);  // data directories
    const std::size_t raw_size = (kData + payload.size() + 0x1FF) & ~std::size_t{0x1FF};
    Put(image, kOptional + 112 + 2 * 8, kRsrcRva, 4);
    Put(image, kOptional + 112 + 2 * 8 + 4, raw_size, 4);
    std::memcpy(image.data() + kSections, ".rsrc", 5);
    Put(image, kSections + 8, raw_size, 4);
    Put(image, kSections + 12, kRsrcRva, 4);
    Put(image, kSections + 16, raw_size, 4);
    Put(image, kSections + 20, kRaw, 4);

    const auto directory = [&](std::size_t at, std::uint32_t id, std::uint32_t target, int count) {
        Put(image, kRaw + at + 14, count, 2);  // integer-named entries
        for (int i = 0; i < count; ++i) {
            Put(image, kRaw + at + 16 + 8 * i, id + i, 4);
            Put(image, kRaw + at + 16 + 8 * i + 4, target, 4);
        }
    };
    directory(0, shape.type, 0x80000000 | kTypeDir, 1);
    directory(kTypeDir, shape.name, 0x80000000 | kNameDir, 1);
    directory(kNameDir, 1033, kDataEntry, shape.languages);
    Put(image, kRaw + kDataEntry, kRsrcRva + kData, 4);
    Put(image, kRaw + kDataEntry + 4, payload.size(), 4);
    image.resize(kRaw + raw_size);
    std::copy(payload.begin(), payload.end(), image.begin() + kRaw + kData);
    image.insert(image.end(), trailer.begin(), trailer.end());
    if (!slot.empty()) {
        Put(image, kPe + 6, 2, 2);
        std::memcpy(image.data() + kSections + 40, ".kdigest", 8);
        Put(image, kSections + 40 + 8, slot.size(), 4);
        Put(image, kSections + 40 + 12, 0x100000, 4);
        Put(image, kSections + 40 + 16, slot.size(), 4);
        Put(image, kSections + 40 + 20, image.size(), 4);
        image.insert(image.end(), slot.begin(), slot.end());
    }
    Put(image, kOptional + 64, PeChecksum(image, kOptional + 64), 4);
    return image;
}

// A filled digest slot (format/digest_slot.h) holding `package_digest`, of
// an older version than the packer's: this hand-made image is not the
// packer's stub with a package, so verify checks its structure only.
Bytes MakeSlot(const std::string& package_digest) {
    Bytes slot(424, std::byte{0});
    std::memcpy(slot.data(), "KTDIGEST", 8);
    Put(slot, 8, 1, 4);   // layout
    Put(slot, 12, 1, 4);  // filled
    std::memcpy(slot.data() + 16, "1.7.0", 5);
    const std::string launcher(64, 'a');
    for (const auto& [offset, text] :
         {std::pair{32, &package_digest}, std::pair{162, &launcher}, std::pair{292, &launcher}}) {
        for (std::size_t i = 0; i < text->size(); ++i) {
            Put(slot, offset + 2 * i, static_cast<unsigned char>((*text)[i]), 2);
        }
    }
    return slot;
}

Bytes Text(const std::string& text) {
    return Bytes(reinterpret_cast<const std::byte*>(text.data()),
                 reinterpret_cast<const std::byte*>(text.data()) + text.size());
}

TEST(FindPackageResource, FindsTheBytesOfRcdata101) {
    const Bytes payload = Text("KTSETUP1 and the rest of a package");
    const Bytes image = MakeImage(payload);
    ASSERT_TRUE(LooksLikePeImage(image));
    const std::span<const std::byte> found = FindPackageResource(image);
    EXPECT_EQ(found.data(), image.data() + kRaw + kData) << "a view into the image";
    EXPECT_TRUE(Bytes(found.begin(), found.end()) == payload);
    EXPECT_FALSE(LooksLikePeImage(payload));
}

TEST(FindPackageResource, RefusesDamageAnywhereOnTheWay) {
    const Bytes payload = Text("package");
    struct Case {
        const char* what;
        std::function<Bytes()> image;
        const char* message;
    };
    const auto damaged = [&](std::function<void(Bytes&)> damage) {
        return [=] {
            Bytes image = MakeImage(payload);
            damage(image);
            return image;
        };
    };
    const Case cases[] = {
        {"no resource of type RT_RCDATA", [&] { return MakeImage(payload, {.type = 3}); },
         "no RT_RCDATA"},
        {"RT_RCDATA 102 only", [&] { return MakeImage(payload, {.name = 102}); }, "101"},
        {"two languages", [&] { return MakeImage(payload, {.languages = 2}); }, "2 languages"},
        {"no PE signature", damaged([](Bytes& i) { i[kPe] = std::byte{'X'}; }), "PE signature"},
        {"e_lfanew past the end", damaged([](Bytes& i) { Put(i, 0x3C, 0xFFFFFFF0, 4); }),
         "outside the file"},
        {"unknown optional header", damaged([](Bytes& i) { Put(i, kOptional, 0x107, 2); }),
         "optional header"},
        {"too few data directories", damaged([](Bytes& i) { Put(i, kOptional + 108, 2, 4); }),
         "no resource directory"},
        {"no resource directory", damaged([](Bytes& i) { Put(i, kOptional + 128, 0, 4); }),
         "no resources"},
        {"section count past the end", damaged([](Bytes& i) { Put(i, kPe + 6, 0xFFFF, 2); }),
         "outside the file"},
        {"section raw data past the end",
         damaged([](Bytes& i) { Put(i, kSections + 20, 0xFFFFFF00, 4); }), "not inside"},
        {"named-entry count past the section",
         damaged([](Bytes& i) { Put(i, kRaw + kTypeDir + 12, 0xFFFF, 2); }), "not inside"},
        {"subdirectory offset past the section",
         damaged([](Bytes& i) { Put(i, kRaw + 16 + 4, 0x8FFFFFF0, 4); }), "not inside"},
        {"data entry is another directory",
         damaged([](Bytes& i) { Put(i, kRaw + kNameDir + 16 + 4, 0x80000000 | kTypeDir, 4); }),
         "deeper"},
        {"data size past the section",
         damaged([](Bytes& i) { Put(i, kRaw + kDataEntry + 4, 0x10000, 4); }), "not inside"},
        {"data RVA wrapping around",
         damaged([](Bytes& i) { Put(i, kRaw + kDataEntry, 0xFFFFFFFF, 4); }), "not inside"},
        {"cut inside the headers", damaged([](Bytes& i) { i.resize(kOptional + 20); }),
         "outside the file"},
        {"cut inside the section", damaged([](Bytes& i) { i.resize(kRaw + kData + 2); }),
         "not inside"},
        {"no MZ", damaged([](Bytes& i) { i[1] = std::byte{'X'}; }), "no \"MZ\" header"},
        // The whole header is read, not only the fields the walk needs.
        {"cut inside the last section header", damaged([](Bytes& i) { i.resize(kSections + 30); }),
         "section table lies outside the file"},
        {"optional header size past the end",
         damaged([](Bytes& i) { Put(i, kPe + 20, 0xFFF0, 2); }),
         "section table lies outside the file"},
        {"cut inside the resource directory entry",
         damaged([](Bytes& i) { i.resize(kOptional + 112 + 2 * 8 + 2); }),
         "resource directory entry lies outside the file"},
    };
    for (const Case& c : cases) {
        try {
            FindPackageResource(c.image());
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const PackError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.what << ": " << error.what();
        }
    }
}

// `verify` on an executable checks its package and that the executable's
// digest slot holds the package's digest text.
TEST(FindPackageResource, VerifyChecksTheExecutablesPackageAndDigest) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    ASSERT_EQ(test::RunPacker({"pack", tree, "-o", dir / "package.bin"}).exit_code, 0);
    const Bytes package = test::ReadFile(dir / "package.bin");
    const std::string digest = Sha256Text(package);

    // The image's slot names another version, whose stub is not at hand:
    // only asked for by name is its structure alone judged.
    test::WriteFile(dir / "KORVANTHELM.exe", MakeImage(package, {}, {}, MakeSlot(digest)));
    auto run = test::RunPacker({"verify", dir / "KORVANTHELM.exe", "--structure-only"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("OK: 3 entries"), std::string::npos) << run.out;
    run = test::RunPacker({"verify", dir / "KORVANTHELM.exe"});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.err.find("not proven"), std::string::npos) << run.err;
    run = test::RunPacker({"list", dir / "KORVANTHELM.exe"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("  KORVANTHELM/KORVANTHELM.exe\n"), std::string::npos) << run.out;

    // The digest anywhere else in the file does not count.
    std::string other_digest = digest;
    other_digest[0] = other_digest[0] == '0' ? '1' : '0';
    Bytes wide_digest;
    for (char c : digest) {
        wide_digest.push_back(static_cast<std::byte>(c));
        wide_digest.push_back(std::byte{0});
    }
    test::WriteFile(dir / "mismatch.exe",
                    MakeImage(package, {}, wide_digest, MakeSlot(other_digest)));
    run = test::RunPacker({"verify", dir / "mismatch.exe"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("PackageDigest does not match"), std::string::npos) << run.err;
    test::WriteFile(dir / "no-slot.exe", MakeImage(package, {}, wide_digest));
    run = test::RunPacker({"verify", dir / "no-slot.exe"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("no digest slot"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace korvanthelm::pack
