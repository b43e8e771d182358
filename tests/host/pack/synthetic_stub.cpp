#include "tests/host/pack/synthetic_stub.h"

#include <cstring>

#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/pe_checksum.h"

namespace korvanthelm::pack::synthetic {

std::uint32_t Get(const Bytes& image, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint32_t>(image[offset + i]);
    }
    return value;
}

Bytes MakeStub(const char* version) {
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

Bytes Package() {
    const std::string text = "KTSETUP1 stands in for a package: the proof reads no package";
    Bytes package(reinterpret_cast<const std::byte*>(text.data()),
                  reinterpret_cast<const std::byte*>(text.data()) + text.size());
    package.resize(0x2345, std::byte{0x5A});
    return package;
}

Bytes Assemble(const Bytes& stub) {
    return AssembleExecutable(CheckStub(stub, kVersion), Package(), kDigests);
}

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

}  // namespace korvanthelm::pack::synthetic
