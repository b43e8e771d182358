#include "tools/pack/pe/prove_executable.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/check_stub.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

// osslsigncode pads the file to a multiple of 8 before the certificate table.
constexpr std::uint64_t kSignerPadding = 8;

[[noreturn]] void Refuse(const std::string& why) {
    throw PackError("refused: " + why);
}

// The part of `rebuilt` that holds file offset `offset`, in words a reader of
// the section table understands.
std::string PartAt(std::span<const std::byte> rebuilt, std::uint64_t offset) {
    const std::vector<PeSection> sections = ReadSectionTable(rebuilt, ReadPeHeaders(rebuilt));
    std::uint64_t first_section = rebuilt.size();
    for (const PeSection& section : sections) {
        if (section.raw_size == 0) {
            continue;
        }
        if (offset >= section.raw_offset && offset - section.raw_offset < section.raw_size) {
            return "section " + section.name;
        }
        first_section = std::min<std::uint64_t>(first_section, section.raw_offset);
    }
    if (offset < first_section) {
        return "headers";
    }
    return offset >= rebuilt.size() ? "bytes after the sections" : "padding between sections";
}

// `exe` as the signer found it: without the certificate table and the zero
// padding before it, the table's entry and the CheckSum (which the signer
// rewrites) zeroed. An unsigned `exe` is copied as it is. `rebuilt_size` is
// where the unsigned file ended.
struct UnsignedView {
    std::vector<std::byte> bytes;
    bool was_signed = false;
};

UnsignedView BeforeSigning(std::span<const std::byte> exe,
                           const std::optional<CertificateTable>& table,
                           std::uint64_t rebuilt_size) {
    UnsignedView view{std::vector<std::byte>(exe.begin(), exe.end()), false};
    if (!table || !table->IsSigned()) {
        return view;
    }
    // The signature check read the table where the entry points; nothing may
    // follow it, or those bytes would be covered by no one.
    if (table->table_offset + table->table_size != exe.size()) {
        Refuse("the certificate table is not at the end of the file");
    }
    std::uint64_t end = table->table_offset;
    if (end >= rebuilt_size && end - rebuilt_size < kSignerPadding &&
        std::all_of(exe.begin() + rebuilt_size, exe.begin() + end,
                    [](std::byte b) { return b == std::byte{0}; })) {
        end = rebuilt_size;
    }
    view.bytes.resize(end);
    view.was_signed = true;
    WriteLe(view.bytes, table->security_entry, 0, 4);
    WriteLe(view.bytes, table->security_entry + 4, 0, 4);
    if (FileHas(view.bytes, table->checksum, 4)) {
        WriteLe(view.bytes, table->checksum, 0, 4);
    }
    return view;
}

}  // namespace

void ProveExecutable(std::span<const std::byte> exe, const DigestSlotContents& slot,
                     const std::optional<CertificateTable>& table, std::span<const std::byte> stub,
                     std::string_view version) {
    for (const std::string* text :
         {&slot.digests.package, &slot.digests.launcher_exe, &slot.digests.launcher_jar}) {
        if (!IsDigestText(*text)) {
            Refuse("a digest text in the slot is not 64 lowercase hexadecimal digits");
        }
    }
    const std::span<const std::byte> package = FindPackageResource(exe);
    std::vector<std::byte> rebuilt;
    try {
        rebuilt = AssembleExecutable(CheckStub(stub, version), package, slot.digests);
    } catch (const PackError& error) {
        throw StubRefused(error.what());
    }
    const UnsignedView before = BeforeSigning(exe, table, rebuilt.size());
    if (before.was_signed) {
        WriteLe(rebuilt, ReadPeHeaders(rebuilt).CheckSumOffset(), 0, 4);
    }
    const auto [ours, theirs] =
        std::mismatch(rebuilt.begin(), rebuilt.end(), before.bytes.begin(), before.bytes.end());
    if (ours == rebuilt.end() && theirs == before.bytes.end()) {
        return;
    }
    Refuse("the executable is not the stub of version " + std::string(version) +
           " with its package (first difference: " +
           PartAt(rebuilt, static_cast<std::uint64_t>(ours - rebuilt.begin())) + ")");
}

}  // namespace korvanthelm::pack
