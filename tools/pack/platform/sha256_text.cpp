#include "tools/pack/platform/sha256_text.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"

namespace korvanthelm::pack {
namespace {

class Sha256 {
  public:
    Sha256() : context_(EVP_MD_CTX_new()) {
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

}  // namespace

std::string Sha256Text(std::span<const std::byte> bytes) {
    Sha256 sha;
    sha.Update(bytes);
    return sha.FinishText();
}

std::string FileSha256Text(const std::string& path, std::uint64_t max_size) {
    const OpenedFile file = OpenRegularFile(path, max_size);
    Sha256 sha;
    std::uint64_t done = 0;
    std::array<std::byte, 1 << 16> buffer;
    for (;;) {
        const ssize_t got = ::read(file.fd.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw PackError("cannot read \"" + path + "\": " + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::uint64_t>(got);
        if (done > max_size) {
            ThrowFileTooLarge(path, max_size);  // it grew while being read
        }
        sha.Update(std::span(buffer).first(static_cast<std::size_t>(got)));
    }
    return sha.FinishText();
}

}  // namespace korvanthelm::pack
