#include "tools/pack/checks/find_unsigned_programs.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "format/package_table.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/pe/check_authenticode_signature.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

constexpr std::size_t kListedPaths = 10;

bool IsSigned(std::span<const std::byte> image) {
    try {
        const std::optional<AuthenticodeSignature> signature = CheckAuthenticodeSignature(image);
        return signature && signature->Matches();
    } catch (const PackError&) {
        return false;  // a certificate table that cannot be read signs nothing
    }
}

}  // namespace

PackagePrograms FindPackagePrograms(std::span<const std::byte> table) {
    PackagePrograms programs;
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    while (walker.Next(record)) {
        if (!HasPeSignature(record.data)) {
            continue;
        }
        ++programs.count;
        std::string path(reinterpret_cast<const char*>(record.path.data()), record.path.size());
        if (IsSigned(record.data)) {
            programs.signed_paths.push_back(std::move(path));
            continue;
        }
        if (IsSetupProgramPath(path)) {
            programs.unsigned_paths.insert(programs.unsigned_paths.begin(), std::move(path));
        } else {
            programs.unsigned_paths.push_back(std::move(path));
        }
    }
    return programs;
}

void RequireProgramAsSetupProgram(const PackagePrograms& programs) {
    for (const auto* paths : {&programs.unsigned_paths, &programs.signed_paths}) {
        if (std::any_of(paths->begin(), paths->end(),
                        [](const std::string& path) { return IsSetupProgramPath(path); })) {
            return;
        }
    }
    throw PackError("the set-up program " + std::string(kSetupProgramPath) +
                    " is not a Windows program (no MZ and PE headers): Windows would refuse to "
                    "start it (error 193) on every player's machine");
}

std::string DescribePrograms(const PackagePrograms& programs) {
    std::string text = std::to_string(programs.count) + " PE files, " +
                       std::to_string(programs.unsigned_paths.size()) + " unsigned";
    for (std::size_t i = 0; i < programs.unsigned_paths.size() && i < kListedPaths; ++i) {
        text += (i == 0 ? ": " : ", ") + PrintablePath(programs.unsigned_paths[i]);
    }
    if (programs.unsigned_paths.size() > kListedPaths) {
        text += " and " + std::to_string(programs.unsigned_paths.size() - kListedPaths) + " more";
    }
    return text;
}

}  // namespace korvanthelm::pack
