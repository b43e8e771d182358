#include "tools/pack/signing/signer_failure.h"

#include <string_view>
#include <vector>

#include "tools/pack/signing/signing_password.h"

namespace korvanthelm::pack {

std::string SignerReason(const std::string& output) {
    std::vector<std::string_view> lines;
    std::string_view rest(output);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (!line.empty() && line != "Failed" && line.find("Engine \"") != 0) {
            lines.push_back(line);
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    if (lines.empty()) {
        return "no reason given";
    }
    // The last line: a tool says what finally went wrong at the end (a PIN
    // prompt or progress comes first).
    return std::string(lines.back().substr(0, 200));
}

std::string OsslsigncodeFailure(const std::string& output) {
    if (output.find("PIN incorrect") != std::string::npos ||
        output.find("CKR_PIN_INCORRECT") != std::string::npos ||
        output.find("Login failed") != std::string::npos) {
        return "the token refused the PIN: " + CheckSigningPasswordHint();
    }
    if (output.find("PIN locked") != std::string::npos) {
        return "the token's PIN is locked";
    }
    return "osslsigncode could not sign: " + SignerReason(output);
}

}  // namespace korvanthelm::pack
