#include "tools/pack/commands/examine_package.h"
#include "tools/pack/commands/installed_stub_path.h"

#include <utility>

#include "tools/pack/base/pack_error.h"
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
ExaminedPackage Examine(std::vector<std::byte> file) {
    ExaminedPackage examined{std::move(file), {}};
    examined.checked = CheckPackageFile(examined.file);
    return examined;
}

std::string SignatureRefusal(const AuthenticodeSignature& signature) {
    if (!signature.signature_valid) {
        return "refused: the signature does not verify with the signer's certificate";
    }
    return "refused: the file was changed after it was signed (its " + signature.digest_algorithm +
           " digest is " + signature.file_digest + ", the signature holds " +
           signature.signed_digest + ")";
}

// The stub has the digest slot but no package yet: said as such, rather than
// as an executable missing a resource, since `build` is what it needs.
void RefuseStub(std::span<const std::byte> file, const std::string& path) {
    if (!LooksLikePeImage(file)) {
        return;
    }
    DigestSlotContents slot;
    try {
        slot = ReadDigestSlot(file);
    } catch (const PackError&) {
        return;  // not ours: the package checks say what is wrong
    }
    if (!slot.filled) {
        throw PackError("\"" + path + "\" is the KORVANTHELM stub (version " + slot.version +
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
        throw PackError("no stub to prove the executable against at \"" +
                        (path.empty() ? std::string("this program's folder") : path) +
                        "\"; name one with --stub");
    }
    return path;
}

// One of this version is proven whole; one of another only in structure,
// since its stub is not at hand.
void CheckExecutable(std::span<const std::byte> exe, const std::string& version,
                     const std::string& stub, VerifiedFile& verified) {
    verified.made_by = ReadDigestSlot(exe).version;
    if (verified.made_by != version) {
        CheckExecutableStructure(exe);
        return;
    }
    const std::string path = StubPath(stub);
    const std::vector<std::byte> stub_bytes = ReadWholeFile(path);
    constexpr std::string_view kStubRefusal = "the stub: ";
    try {
        ProveExecutable(exe, stub_bytes, version);
    } catch (const PackError& error) {
        const std::string_view what = error.what();
        if (what.starts_with(kStubRefusal)) {
            throw PackError("stub \"" + path +
                            "\": " + std::string(what.substr(kStubRefusal.size())));
        }
        throw;
    }
    verified.proven = true;
}

}  // namespace

ExaminedPackage ListPackage(const std::string& path) {
    std::vector<std::byte> file = ReadWholeFile(path);
    RefuseStub(file, path);
    return Examine(std::move(file));
}

VerifiedFile VerifyPackageFile(const std::string& path, const std::string& version,
                               const std::string& stub) {
    std::vector<std::byte> file = ReadWholeFile(path);
    VerifiedFile verified;
    verified.is_executable = LooksLikePeImage(file);
    if (verified.is_executable) {
        verified.signature = CheckAuthenticodeSignature(file);
        if (verified.signature && !verified.signature->Matches()) {
            verified.signature_refusal = SignatureRefusal(*verified.signature);
            return verified;
        }
        if (verified.signature) {
            verified.timestamp = ReadSigningTimestamp(file);
        }
    }
    RefuseStub(file, path);
    verified.package = Examine(std::move(file));
    if (verified.is_executable) {
        // CheckPackageFile has read this slot already: it cannot fail now.
        verified.slot = ReadDigestSlot(verified.package->file);
        CheckExecutable(verified.package->file, version, stub, verified);
    }
    return verified;
}

}  // namespace korvanthelm::pack
