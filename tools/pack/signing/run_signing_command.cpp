#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/signing/run_signer.h"
#include "tools/pack/signing/signer_failure.h"

namespace korvanthelm::pack {

std::string SignerName(const SigningOptions& options) {
    return options.command.empty() ? "osslsigncode"
                                   : "the signing command \"" + options.command + "\"";
}

void RunSigningCommand(const SigningOptions& options, const std::string& unsigned_path,
                       const std::string& signed_path) {
    RemoveFileIfPresent(signed_path);  // so that a signer writing nothing is noticed
    // The command gets the two paths as its last two arguments, and the
    // environment as it is: a signing service's client reads its own.
    const ProgramRun run =
        RunShellCommand(options.command, {unsigned_path, signed_path}, "korvanthelm-sign");
    if (run.status != 0 || !PathExists(signed_path)) {
        RequireRoomForSignersCopy(SignerName(options), "signed copy", unsigned_path, signed_path);
    }
    if (run.status != 0) {
        throw PackError(SignerName(options) + " failed (exit " + std::to_string(run.status) +
                        "): " + SignerReason(run.output));
    }
    if (!PathExists(signed_path)) {
        throw PackError(SignerName(options) + " wrote no signed file (its second argument)");
    }
}

}  // namespace korvanthelm::pack
