// The Windows programs (PE files, found by their MZ and PE headers, not by
// their names) a package carries, and which of them have no Authenticode
// signature that verifies. What runs from the player's %TEMP% is the set-up
// program inside the package, not the signed KORVANTHELM.exe: SmartScreen,
// AppLocker and WDAC publisher rules judge that one.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvanthelm::pack {

struct PackagePrograms {
    std::size_t count = 0;
    // Paths of the unsigned ones in package order, the set-up program first.
    std::vector<std::string> unsigned_paths;
    // Paths of the signed ones (a signature that verifies), in package order.
    std::vector<std::string> signed_paths;
};

// The programs among the records of `table`, a table that passed
// CheckPackageTable.
PackagePrograms FindPackagePrograms(std::span<const std::byte> table);

// Returns when the set-up program (an entry IsSetupProgramPath names) is
// among `programs`, a Windows program; else throws PackError: Windows would
// refuse to start it (error 193, not a valid application) on every player's
// machine, a failure only a run of the exe would otherwise show.
void RequireProgramAsSetupProgram(const PackagePrograms& programs);

// "N PE files, M unsigned: a, b, ..." (at most ten paths, then how many more),
// the paths escaped as PrintablePath does.
std::string DescribePrograms(const PackagePrograms& programs);

}  // namespace korvanthelm::pack
