#include "tools/pack/signing/run_signer.h"

#include <ctime>
#include <optional>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/signing/load_signing_certificate.h"
#include "tools/pack/signing/signer_failure.h"
#include "tools/pack/signing/signing_password.h"
#include "tools/pack/signing/signing_time.h"

namespace korvanthelm::pack {

void RunOsslsigncode(const SigningOptions& options, const std::string& unsigned_path,
                     const std::string& signed_path) {
    const std::optional<std::time_t> epoch = SourceDateEpoch();
    const UniqueX509 certificate = LoadSigningCertificate(options);
    RequireSigningTimeInValidity(certificate.get(), epoch.value_or(std::time(nullptr)),
                                 epoch.has_value());
    std::vector<std::string> args = {"osslsigncode", "sign", "-h", "sha256"};
    if (!options.pkcs11_module.empty()) {
        args.insert(args.end(), {"-pkcs11module", options.pkcs11_module, "-certs", options.cert,
                                 "-key", options.key});
    } else if (!options.key.empty()) {
        args.insert(args.end(), {"-certs", options.cert, "-key", options.key});
    } else {
        args.insert(args.end(), {"-pkcs12", options.cert});
    }
    if (epoch) {
        args.insert(args.end(), {"-time", std::to_string(*epoch)});
    }
    ProgramInput input{SigningPassword(), kSigningPasswordVariable};
    if (input.secret) {
        args.insert(args.end(), {"-readpass", kSecretPath});
    }
    args.insert(args.end(), {"-in", unsigned_path, "-out", signed_path});
    RemoveFileIfPresent(signed_path);  // so that a signer writing nothing is noticed
    const ProgramRun run = RunProgram(args, input);
    if (run.status != 0) {
        RequireRoomForSignersCopy("osslsigncode", "signed copy", unsigned_path, signed_path);
        throw PackError(OsslsigncodeFailure(run.output));
    }
}

}  // namespace korvanthelm::pack
