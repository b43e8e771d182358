#include "tools/pack/signing/signing_options.h"

namespace korvanthelm::pack {

std::string SigningOptionsProblem(const SigningOptions& options) {
    if (!options.command.empty()) {
        if (!options.cert.empty() || !options.key.empty() || !options.pkcs11_module.empty()) {
            return "--sign-command signs on its own: give no --sign-cert, --sign-key or "
                   "--sign-pkcs11-module with it";
        }
        return "";
    }
    if (!options.pkcs11_module.empty() &&
        (options.cert.empty() || options.key.rfind("pkcs11:", 0) != 0)) {
        return "--sign-pkcs11-module needs --sign-key pkcs11:... (the key in the token) and "
               "--sign-cert CERT";
    }
    if (!options.key.empty() && options.cert.empty()) {
        return "--sign-key needs --sign-cert";
    }
    if (options.pkcs11_module.empty() && options.key.rfind("pkcs11:", 0) == 0) {
        return "a pkcs11: key needs --sign-pkcs11-module MODULE";
    }
    if (!options.timestamp_urls.empty() && !options.Enabled()) {
        return "--timestamp-url needs a signer (--sign-cert or --sign-command)";
    }
    return "";
}

}  // namespace korvanthelm::pack
