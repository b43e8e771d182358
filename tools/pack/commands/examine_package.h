// `korvanthelm-pack list` and `verify`: a package file, or the package inside
// a built KORVANTHELM.exe, judged as the bootstrapper would judge it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/pack/checks/check_package_file.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/check_authenticode_signature.h"

namespace korvanthelm::pack {

// A package with the file bytes its views point into.
struct ExaminedPackage {
    std::vector<std::byte> file;
    CheckedPackage checked;  // its spans point into `file`
};

// The package in the file at `path`, passing every check of CheckPackageFile.
// Throws PackError naming the first problem; for the bootstrapper stub (an
// executable whose digest slot is not filled), that it is the stub and
// carries no package.
ExaminedPackage ListPackage(const std::string& path);

// How an executable is judged: proven against a stub (this version's, or
// the one named for the version its slot names), or, when the user asks for
// it by name, its structure alone.
enum class ExecutableCheck { kProof, kStructureOnly };

struct VerifiedFile {
    bool is_executable = false;
    std::optional<AuthenticodeSignature> signature;  // an executable's, when signed
    // The RFC 3161 timestamp's time ("2026-12-09 10:15:03 UTC") when the
    // signature carries one made for it; only read when the signature matches.
    std::optional<std::string> timestamp;
    // Set when the signature does not match the file: the package was then not
    // examined, and this is the refusal. A signed file changed afterwards is
    // refused as such, whatever the change did to the package.
    std::string signature_refusal;
    std::optional<ExaminedPackage> package;  // set when signature_refusal is empty
    // An executable's digest slot (PackageDigest and the launcher digests),
    // when the package was examined.
    std::optional<DigestSlotContents> slot;
    // An executable's: the version in its slot, and whether it was proven to
    // be that version's stub with its package (otherwise only its structure
    // was checked, as asked for with ExecutableCheck::kStructureOnly).
    std::string made_by;
    bool proven = false;
};

// Reads the file at `path`; for an executable judges its Authenticode
// signature first, then (unless the signature refuses it) reads its
// timestamp, refusing one not made for this signature, checks the package
// as ListPackage does (the stub refused as there), then the executable
// itself. The version text in its slot must be a release version
// (IsReleaseVersion), or it is refused as damaged. With kProof it must be
// ProveExecutable's copy of a stub with its package: of `version`, the stub
// at `stub` (empty: the one installed beside the packer, as `build` finds
// it); of another version, the stub at `stub`, which must be of that
// version; without `stub` such an executable is refused as not proven,
// naming how to prove it. With kStructureOnly it must pass
// CheckExecutableStructure. Throws PackError when the file cannot be read,
// the package or executable fails a check, or there is no stub to prove
// against; a broken signature is not thrown but returned, so that the caller
// can show the signature before the refusal.
VerifiedFile VerifyPackageFile(const std::string& path, const std::string& version,
                               const std::string& stub,
                               ExecutableCheck check = ExecutableCheck::kProof);

}  // namespace korvanthelm::pack
