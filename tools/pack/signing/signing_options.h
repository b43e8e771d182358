// The signers' options for `build`: which signer signs KORVANTHELM.exe, with
// which key, and which timestamp servers countersign.
#pragma once

#include <string>
#include <vector>

namespace korvanthelm::pack {

struct SigningOptions {
    std::string cert;           // PEM certificate (chain), or PKCS#12 alone
    std::string key;            // PEM key file, or with pkcs11_module an RFC 7512 "pkcs11:" URI
    std::string pkcs11_module;  // the token's PKCS#11 library
    std::string command;        // run as: COMMAND UNSIGNED SIGNED
    std::vector<std::string> timestamp_urls;  // RFC 3161 servers, tried in order

    bool Enabled() const { return !cert.empty() || !command.empty(); }
};

// What is wrong with the combination of options, for the usage line; empty
// when they make sense (also when nothing is to be signed).
std::string SigningOptionsProblem(const SigningOptions& options);

}  // namespace korvanthelm::pack
