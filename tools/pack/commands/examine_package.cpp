#include "tools/pack/commands/examine_package.h"
#include "tools/pack/commands/installed_stub_path.h"

#include <utility>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/check_executable_structure.h"
#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/pe/prove_executable.h"
#include "tools/pack/pe/read_timestamp.h"
#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {
namespace {

// Moving an ExaminedPackage keeps `checked` valid: a moved vector keeps its
// buffer, and that is where the spans point.
ExaminedPackage Examine(std::vector<std::byte> file, std::optional<DigestSlotContents> slot) {
    ExaminedPackage examined{std::move(file), {}};
    examined.checked = CheckPackageFile(examined.file, std::move(slot));
    return examined;
}

std::string SignatureRefusal(const AuthenticodeSignature& signature) {
    if (!signature.certificate_intact) {
        return "refused: the signer's certificate does not verify with its issuer's key (changed "
               "after it was issued, or its issuer's certificate is not in the signature)";
    }
    if (!signature.signature_valid) {
        return "refused: the signature does not verify with the signer's certificate";
    }
    return "refused: the file was changed after it was signed (its " + signature.digest_algorithm +
           " digest is " + signature.file_digest + ", the signature holds " +
           signature.signed_digest + ")";
}

// An executable's digest slot, read once for every check that follows;
// nullopt for a package, or when the slot cannot be read (not ours: the
// package checks say what is wrong, in their order).
std::optional<DigestSlotContents> ReadSlotOnce(std::span<const std::byte> file) {
    if (!LooksLikePeImage(file)) {
        return std::nullopt;
    }
    try {
        return ReadDigestSlot(file);
    } catch (const PackError&) {
        return std::nullopt;
    }
}

// The stub has the digest slot but no package yet: said as such, rather than
// as an executable missing a resource, since `build` is what it needs.
void RefuseStub(const std::optional<DigestSlotContents>& slot, const std::string& path) {
    if (slot && !slot->filled) {
        throw PackError("\"" + PrintableHostPath(path) + "\" is the KORVANTHELM stub (version " +
                        PrintablePath(slot->version) +
                        "): it carries no package; korvanthelm-pack build makes " +
                        "KORVANTHELM.exe from it");
    }
}

// The stub to prove against: the one named, or the one installed beside the
// packer where `build` takes it from (<prefix>/share/korvanthelm/).
std::string StubPath(const std::string& named) {
    if (!named.empty()) {
        return named;
    }
    const std::string path = InstalledStubPath().value_or(std::string());
    if (path.empty() || !PathExists(path)) {
        throw PackError(
            "no stub to prove the executable against at \"" +
            (path.empty() ? std::string("this program's folder") : PrintableHostPath(path)) +
            "\"; name one with --stub");
    }
    return path;
}

// The stub at `path`'s own version; the proof itself refuses a file that is
// no stub at all.
std::string StubVersion(const std::vector<std::byte>& stub) {
    try {
        return ReadDigestSlot(stub).version;
    } catch (const PackError&) {
        return std::string();
    }
}

// Every executable is proven whole against the stub of the version its slot
// names, unless the user asked for its structure alone: a slot's version is
// written by whoever made the file, so it cannot decide how closely the file
// is checked.
void CheckExecutable(std::span<const std::byte> exe, const DigestSlotContents& slot,
                     const std::optional<CertificateTable>& table, const std::string& version,
                     const std::string& stub, ExecutableCheck check, VerifiedFile& verified) {
    verified.made_by = slot.version;
    if (!IsReleaseVersion(verified.made_by)) {
        throw PackError(
            "refused: the version text in the digest slot is not a release version: \"" +
            PrintablePath(verified.made_by) + "\"");
    }
    if (check == ExecutableCheck::kStructureOnly) {
        CheckExecutableStructure(exe);
        return;
    }
    if (verified.made_by != version && stub.empty()) {
        throw PackError("not proven: the executable says it was made by version " +
                        verified.made_by + ", this packer is version " + version +
                        "; prove it with --stub and the stub of version " + verified.made_by +
                        ", or check only its structure with --structure-only");
    }
    const std::string path = StubPath(stub);
    const std::vector<std::byte> stub_bytes = ReadWholeFile(path);
    if (verified.made_by != version) {
        const std::string stub_version = StubVersion(stub_bytes);
        if (!stub_version.empty() && stub_version != verified.made_by) {
            throw PackError("stub \"" + PrintableHostPath(path) + "\" is of version " +
                            PrintablePath(stub_version) + ", the executable says version " +
                            verified.made_by + "; name the stub of version " + verified.made_by);
        }
    }
    try {
        ProveExecutable(exe, slot, table, stub_bytes, verified.made_by);
    } catch (const StubRefused& refused) {
        throw PackError("stub \"" + PrintableHostPath(path) + "\": " + refused.refusal());
    }
    verified.proven = true;
}

}  // namespace

ExaminedPackage ListPackage(const std::string& path) {
    std::vector<std::byte> file = ReadWholeFile(path);
    std::optional<DigestSlotContents> slot = ReadSlotOnce(file);
    RefuseStub(slot, path);
    return Examine(std::move(file), std::move(slot));
}

VerifiedFile VerifyPackageFile(const std::string& path, const std::string& version,
                               const std::string& stub, ExecutableCheck check) {
    std::vector<std::byte> file = ReadWholeFile(path);
    VerifiedFile verified;
    verified.is_executable = LooksLikePeImage(file);
    // An executable's certificate table is located once, and a signature's
    // entry read once, for the signature, its timestamp and the proof.
    std::optional<CertificateTable> table;
    if (verified.is_executable) {
        table = FindCertificateTable(file);
    }
    if (table && table->IsSigned()) {
        const SignatureEntry entry = ReadSignatureEntry(file, *table);
        verified.signature = CheckAuthenticodeSignature(file, entry);
        if (!verified.signature->Matches()) {
            verified.signature_refusal = SignatureRefusal(*verified.signature);
            return verified;
        }
        verified.timestamp = ReadSigningTimestamp(file, entry);
    }
    std::optional<DigestSlotContents> slot = ReadSlotOnce(file);
    RefuseStub(slot, path);
    verified.package = Examine(std::move(file), std::move(slot));
    // list shows what such a package holds; verify says it would fail.
    RequireProgramAsSetupProgram(verified.package->checked.programs);
    if (verified.is_executable) {
        // CheckPackageFile has checked the slot against the package.
        verified.slot = verified.package->checked.slot;
        CheckExecutable(verified.package->file, *verified.slot, table, version, stub, check,
                        verified);
    }
    return verified;
}

}  // namespace korvanthelm::pack
