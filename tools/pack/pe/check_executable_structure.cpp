#include "tools/pack/pe/check_executable_structure.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "format/digest_slot.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/package_resource_id.h"
#include "tools/pack/pe/pe_checksum.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint64_t kSizeOfHeadersField = 60;  // in the optional header, from its start

[[noreturn]] void Refuse(const std::string& why) {
    throw PackError("refused: " + why);
}

bool IsLowercaseHexDigit(std::uint32_t unit) {
    return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f');
}

// The bootstrapper compares the digest texts as they are, up to their zero:
// 64 digits and a zero, nothing shorter, longer or in capitals.
void CheckDigestText(std::span<const std::byte> slot, std::size_t offset, const char* name) {
    for (std::size_t i = 0; i < format::kDigestTextUnits; ++i) {
        const std::uint32_t unit = ReadLe(slot, offset + 2 * i, 2, "digest slot");
        const bool last = i + 1 == format::kDigestTextUnits;
        if (last ? unit != 0 : !IsLowercaseHexDigit(unit)) {
            Refuse(std::string(name) +
                   " in the digest slot is not 64 lowercase hexadecimal digits and a zero");
        }
    }
}

void CheckSlot(std::span<const std::byte> exe, const KorvanthelmImage& image) {
    const std::span<const std::byte> slot = FindDigestSlot(exe, image);
    if (ReadLe(slot, format::kDigestSlotStateOffset, 4, "digest slot") !=
        format::kDigestSlotFilled) {
        Refuse("the digest slot is not in the filled state");
    }
    std::size_t length = 0;
    while (length < format::kDigestSlotVersionSize &&
           slot[format::kDigestSlotVersionOffset + length] != std::byte{0}) {
        const auto c = static_cast<unsigned char>(slot[format::kDigestSlotVersionOffset + length]);
        if (c < 0x21 || c > 0x7E) {
            Refuse("the version text in the digest slot is not printable ASCII");
        }
        ++length;
    }
    if (length == 0 || length == format::kDigestSlotVersionSize) {
        Refuse("the version text in the digest slot is empty or not ended by a zero");
    }
    CheckDigestText(slot, format::kPackageDigestOffset, "PackageDigest");
    CheckDigestText(slot, format::kLauncherExeDigestOffset, "LauncherExeDigest");
    CheckDigestText(slot, format::kLauncherJarDigestOffset, "LauncherJarDigest");
}

// The assembly moves the relocations behind the grown resources and points
// their entry at the new place; an entry left behind makes the loader apply
// package bytes as relocations. Both tables start a section of their own.
void CheckDirectoryStartsSection(std::span<const std::byte> exe, const KorvanthelmImage& image,
                                 std::size_t index, const char* what) {
    const std::optional<DataDirectory> entry = ReadDataDirectory(exe, image.headers, index, what);
    if (!entry || (entry->address == 0 && entry->size == 0)) {
        return;
    }
    for (const PeSection& section : image.sections) {
        if (section.virtual_address == entry->address &&
            entry->size <= std::max(section.virtual_size, section.raw_size)) {
            return;
        }
    }
    Refuse(std::string("the ") + what + " does not start a section and fit inside it");
}

// Every table the loader or the bootstrapper looks up through a data
// directory must lie in the image it maps: inside one section, or inside the
// headers. The certificate table is a file range, checked with the signature.
void CheckDirectoriesInsideImage(std::span<const std::byte> exe, const KorvanthelmImage& image) {
    const std::uint64_t header_size =
        ReadLe(exe, image.headers.optional + kSizeOfHeadersField, 4, "optional header");
    for (std::size_t index = 0; index < image.headers.directory_count; ++index) {
        const std::optional<DataDirectory> entry =
            ReadDataDirectory(exe, image.headers, index, "data directory");
        if (index == kSecurityDirectoryIndex || !entry ||
            (entry->address == 0 && entry->size == 0)) {
            continue;
        }
        const std::uint64_t end = std::uint64_t{entry->address} + entry->size;
        bool inside = end <= header_size;
        for (const PeSection& section : image.sections) {
            inside = inside || (entry->address >= section.virtual_address &&
                                end <= std::uint64_t{section.virtual_address} +
                                           std::max(section.virtual_size, section.raw_size));
        }
        if (!inside) {
            Refuse("data directory " + std::to_string(index) +
                   " lies outside the image's sections");
        }
    }
}

void CheckPackageResource(std::span<const std::byte> exe) {
    std::size_t count = 0;
    for (const ResourceLeaf& leaf : ReadResources(exe)) {
        if (leaf.type == kRtRcdata && leaf.name == kPackageResourceId) {
            if (leaf.language != kPackageLanguage) {
                Refuse("the package resource RT_RCDATA 101 is in language " +
                       std::to_string(leaf.language) + ", not 1033");
            }
            ++count;
        }
    }
    if (count != 1) {
        Refuse("the executable holds " + std::to_string(count) +
               " package resources RT_RCDATA 101, not one");
    }
}

}  // namespace

void CheckExecutableStructure(std::span<const std::byte> exe) {
    const KorvanthelmImage image = ReadKorvanthelmImage(exe);
    if (image.headers.directory_count > kMaxDataDirectories) {
        Refuse("the optional header counts " + std::to_string(image.headers.directory_count) +
               " data directories, more than 16");
    }
    for (const PeSection& section : image.sections) {
        if (section.raw_size != 0 && !FileHas(exe, section.raw_offset, section.raw_size)) {
            Refuse("section " + section.name + " ends past the end of the file");
        }
    }
    const std::uint64_t checksum = image.headers.CheckSumOffset();
    if (ReadLe(exe, checksum, 4, "optional header") != PeChecksum(exe, checksum)) {
        Refuse("the PE checksum does not match the file");
    }
    CheckDirectoriesInsideImage(exe, image);
    CheckDirectoryStartsSection(exe, image, kResourceDirectoryIndex, "resource directory");
    CheckDirectoryStartsSection(exe, image, kRelocationDirectoryIndex, "relocation directory");
    CheckSlot(exe, image);
    CheckPackageResource(exe);
}

}  // namespace korvanthelm::pack
