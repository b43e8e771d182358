#include "tools/pack/pe/digest_slot_text.h"

#include <cstring>

#include "format/digest_slot.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

// Neither a stub nor a finished executable of ours.
[[noreturn]] void NotOurs(const std::string& why) {
    throw PackError("not a KORVANTHELM executable: " + why);
}

std::string ReadDigestText(std::span<const std::byte> slot, std::size_t offset) {
    std::string text;
    for (std::size_t i = 0; i + 1 < format::kDigestTextUnits; ++i) {
        const std::uint32_t unit = ReadLe(slot, offset + 2 * i, 2, "digest slot");
        if (unit == 0) {
            break;
        }
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

void WriteDigestText(std::span<std::byte> image, std::uint64_t at, const std::string& text) {
    for (std::size_t i = 0; i < format::kDigestTextUnits; ++i) {
        WriteLe(image, at + 2 * i, i < text.size() ? static_cast<unsigned char>(text[i]) : 0, 2);
    }
}

}  // namespace

KorvanthelmImage ReadKorvanthelmImage(std::span<const std::byte> image) {
    KorvanthelmImage layout{ReadPeHeaders(image), {}, {}};
    if (layout.headers.machine != kMachineAmd64 || layout.headers.magic != kPe32PlusMagic) {
        NotOurs("it is not a 64-bit Windows program");
    }
    layout.sections = ReadSectionTable(image, layout.headers);
    for (std::size_t i = 0; i < layout.sections.size(); ++i) {
        if (layout.sections[i].name == format::kDigestSlotSection) {
            layout.slot = i;  // the last of that name, should there be two
        }
    }
    return layout;
}

std::span<const std::byte> FindDigestSlot(std::span<const std::byte> image,
                                          const KorvanthelmImage& layout) {
    if (!layout.slot) {
        NotOurs("it has no digest slot (section " + std::string(format::kDigestSlotSection) + ")");
    }
    const PeSection& section = layout.sections[*layout.slot];
    if (section.raw_size < format::kDigestSlotSize ||
        !FileHas(image, section.raw_offset, format::kDigestSlotSize)) {
        NotOurs("its digest slot is cut short");
    }
    const std::span<const std::byte> slot =
        image.subspan(section.raw_offset, format::kDigestSlotSize);
    if (std::memcmp(slot.data(), format::kDigestSlotMagic.data(),
                    format::kDigestSlotMagic.size()) != 0) {
        NotOurs("its digest slot has no \"KTDIGEST\" mark");
    }
    const std::uint32_t layout_version =
        ReadLe(slot, format::kDigestSlotLayoutOffset, 4, "digest slot");
    if (layout_version != format::kDigestSlotLayout) {
        NotOurs("its digest slot has layout " + std::to_string(layout_version) +
                ", this packer knows layout " + std::to_string(format::kDigestSlotLayout) +
                " (use the stub that came with this packer)");
    }
    return slot;
}

DigestSlotContents ReadDigestSlotContents(std::span<const std::byte> slot) {
    const auto* version =
        reinterpret_cast<const char*>(slot.data() + format::kDigestSlotVersionOffset);
    return {
        ReadLe(slot, format::kDigestSlotStateOffset, 4, "digest slot") == format::kDigestSlotFilled,
        std::string(version, strnlen(version, format::kDigestSlotVersionSize)),
        {ReadDigestText(slot, format::kPackageDigestOffset),
         ReadDigestText(slot, format::kLauncherExeDigestOffset),
         ReadDigestText(slot, format::kLauncherJarDigestOffset)}};
}

DigestSlotContents ReadDigestSlot(std::span<const std::byte> image) {
    return ReadDigestSlotContents(FindDigestSlot(image, ReadKorvanthelmImage(image)));
}

bool IsReleaseVersion(std::string_view text) {
    int numbers = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        // A number is one digit or more; "0" alone may start with a zero.
        if (i == start || (text[start] == '0' && i - start > 1)) {
            return false;
        }
        ++numbers;
        if (i == text.size()) {
            break;
        }
        if (text[i] != '.' || numbers == 3) {
            return false;
        }
        ++i;
        if (i == text.size()) {
            return false;  // "1.8." ends in a dot
        }
    }
    return numbers == 3;
}

void WriteDigestSlot(std::span<std::byte> image, std::uint64_t slot,
                     const ExecutableDigests& digests) {
    WriteLe(image, slot + format::kDigestSlotStateOffset, format::kDigestSlotFilled, 4);
    WriteDigestText(image, slot + format::kPackageDigestOffset, digests.package);
    WriteDigestText(image, slot + format::kLauncherExeDigestOffset, digests.launcher_exe);
    WriteDigestText(image, slot + format::kLauncherJarDigestOffset, digests.launcher_jar);
}

}  // namespace korvanthelm::pack
