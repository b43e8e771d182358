#include "tools/pack/commands/inspect_package.h"

#include <utility>

#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/platform/file_io.h"

namespace korvanthelm::pack {
namespace {

// Moving an InspectedPackage keeps `checked` valid: a moved vector keeps its
// buffer, and that is where the spans point.
InspectedPackage Inspect(std::vector<std::byte> file) {
    InspectedPackage inspected{std::move(file), {}};
    inspected.checked = CheckPackageFile(inspected.file);
    return inspected;
}

std::string SignatureRefusal(const AuthenticodeSignature& signature) {
    if (!signature.signature_valid) {
        return "refused: the signature does not verify with the signer's certificate";
    }
    return "refused: the file was changed after it was signed (its " + signature.digest_algorithm +
           " digest is " + signature.file_digest + ", the signature holds " +
           signature.signed_digest + ")";
}

}  // namespace

InspectedPackage ListPackage(const std::string& path) {
    return Inspect(ReadWholeFile(path));
}

VerifiedFile VerifyPackageFile(const std::string& path) {
    std::vector<std::byte> file = ReadWholeFile(path);
    VerifiedFile verified;
    verified.is_executable = LooksLikePeImage(file);
    if (verified.is_executable) {
        verified.signature = CheckAuthenticodeSignature(file);
        if (verified.signature && !verified.signature->Matches()) {
            verified.signature_refusal = SignatureRefusal(*verified.signature);
            return verified;
        }
    }
    verified.package = Inspect(std::move(file));
    return verified;
}

}  // namespace korvanthelm::pack
