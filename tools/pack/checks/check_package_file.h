// The checks `verify` and `list` make on a package file or a finished
// KORVANTHELM.exe, and `build` makes on the executable it assembles before
// writing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/pe/digest_slot_text.h"

namespace korvanthelm::pack {

struct CheckedPackage {
    std::span<const std::byte> package;  // the package's bytes inside the file
    bool from_executable;
    std::string digest;  // SHA-256 of the package, digest text
    std::uint64_t table_size;
    std::vector<PackageEntrySummary> entries;
    PackagePrograms programs;  // the PE files among the entries
    // Not refusals: what may still fail on some players' machines.
    std::vector<std::string> warnings;
    // An executable's digest slot, filled and checked against the package;
    // nullopt for a package file.
    std::optional<DigestSlotContents> slot;
};

// `file` is a package, or an executable whose package is its RT_RCDATA 101.
// The package must decode (envelope, container, every chunk with the bootstrapper's decoder) to
// a table that passes CheckPackageTable and holds the set-up program; an
// executable's digest slot must be filled, with PackageDigest the package's
// digest and both launcher digests digest texts. Throws PackError naming the
// first failure. Warns when an entry would pass the classic path limit below
// a typical TEMP (PathLimitWarning). `slot` is the executable's digest slot
// when the caller has read it already (it is then not read again); without
// it the slot is read here, after the package resource is found.
CheckedPackage CheckPackageFile(std::span<const std::byte> file,
                                std::optional<DigestSlotContents> slot = std::nullopt);

// A package and the table it was proven to decode to: pack reads back what
// it compressed with the independent decoder before it reports it good.
struct ProvenPackage {
    std::span<const std::byte> package;
    std::span<const std::byte> table;
    // The programs among the table's entries, when the caller has found
    // them (FindPackagePrograms checks every program's signature, so they
    // are not read again); nullptr to find them here.
    const PackagePrograms* programs = nullptr;
};

// CheckPackageFile's result with the table it decoded, for a caller that goes
// on to read the entries' bytes: the package is then decoded once. When the
// file's package is byte for byte `proven`'s, its table is checked as it is
// instead of decoding the package again (and its programs taken as found),
// and `table` is left empty.
struct DecodedPackage {
    CheckedPackage checked;
    std::vector<std::byte> table;
};
DecodedPackage DecodeCheckedPackage(std::span<const std::byte> file,
                                    std::optional<DigestSlotContents> slot = std::nullopt,
                                    std::optional<ProvenPackage> proven = std::nullopt);

}  // namespace korvanthelm::pack
