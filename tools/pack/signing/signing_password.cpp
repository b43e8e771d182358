#include "tools/pack/signing/signing_password.h"

#include <cstdlib>

namespace korvanthelm::pack {

std::optional<std::string> SigningPassword() {
    const char* value = std::getenv(kSigningPasswordVariable);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::string CheckSigningPasswordHint() {
    return std::string("check ") + kSigningPasswordVariable +
           (SigningPassword() ? "" : " (it is not set)");
}

}  // namespace korvanthelm::pack
