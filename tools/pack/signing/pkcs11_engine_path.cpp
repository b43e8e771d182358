#include "tools/pack/signing/pkcs11_engine_path.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <string_view>

namespace korvanthelm::pack {

std::string Pkcs11EnginePath() {
    const char* variable = std::getenv("OPENSSL_ENGINES");
    std::string folder;
    if (variable != nullptr && *variable != '\0') {
        folder = variable;
    } else {
        // OpenSSL says it as: ENGINESDIR: "/usr/lib/x86_64-linux-gnu/engines-3"
        const std::string_view said = OpenSSL_version(OPENSSL_ENGINES_DIR);
        const std::size_t open = said.find('"');
        const std::size_t close = said.rfind('"');
        if (open != std::string_view::npos && close > open) {
            folder = said.substr(open + 1, close - open - 1);
        }
    }
    return folder + "/pkcs11.so";
}

}  // namespace korvanthelm::pack
