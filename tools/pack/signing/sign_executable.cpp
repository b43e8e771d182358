#include "tools/pack/signing/sign_executable.h"

#include "tools/pack/platform/files.h"
#include "tools/pack/platform/temporary_files.h"
#include "tools/pack/signing/add_timestamp.h"
#include "tools/pack/signing/check_signer_result.h"
#include "tools/pack/signing/run_signer.h"

namespace korvanthelm::pack {
namespace {

// Hidden beside the output, so that a failed build leaves nothing in sight
// even when the process is killed before it can clean up.
constexpr char kTemporaryPrefix[] = ".korvanthelm-signing-";
constexpr char kTemporarySuffix[] = ".exe";

}  // namespace

SignedExecutable SignExecutable(std::span<const std::byte> exe, const SigningOptions& options,
                                const std::string& folder,
                                const std::function<void(const std::string&)>& note) {
    const TemporaryFile unsigned_file(folder, kTemporaryPrefix, kTemporarySuffix);
    const TemporaryFile signed_file(folder, kTemporaryPrefix, kTemporarySuffix);
    {
        StagedFile staged(unsigned_file.path(), exe);
        staged.Commit();
    }
    if (!options.command.empty()) {
        RunSigningCommand(options, unsigned_file.path(), signed_file.path());
    } else {
        RunOsslsigncode(options, unsigned_file.path(), signed_file.path());
    }
    if (!options.timestamp_urls.empty()) {
        AddTimestamp(signed_file.path(), options.timestamp_urls, folder, note);
    }
    SignedExecutable result{ReadWholeFile(signed_file.path()), {}};
    result.signature = CheckSignerResult(exe, result.bytes, SignerName(options));
    return result;
}

}  // namespace korvanthelm::pack
