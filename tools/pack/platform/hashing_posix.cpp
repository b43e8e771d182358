// hashing.h on POSIX systems (Linux).
#include "tools/pack/platform/hashing.h"

#include <openssl/evp.h>

#include <array>

#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"

namespace korvanthelm::pack {

class Sha256Hasher::Backend {
  public:
    Backend() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw PackError("cannot start a SHA-256 computation (OpenSSL)");
        }
    }
    void Update(std::span<const std::byte> bytes) {
        if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
            throw PackError("SHA-256 computation failed (OpenSSL)");
        }
    }
    std::string FinishText() {
        std::array<unsigned char, 32> digest{};
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 || size != 32) {
            throw PackError("SHA-256 computation failed (OpenSSL)");
        }
        return HexText(std::span<const unsigned char>(digest));
    }

  private:
    UniqueDigestContext context_;
};

Sha256Hasher::Sha256Hasher() : backend_(std::make_unique<Backend>()) {}

Sha256Hasher::~Sha256Hasher() = default;

void Sha256Hasher::Update(std::span<const std::byte> bytes) {
    backend_->Update(bytes);
}

std::string Sha256Hasher::FinishText() {
    return backend_->FinishText();
}

}  // namespace korvanthelm::pack
