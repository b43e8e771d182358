// hashing.h on Windows.
#include "tools/pack/platform/hashing.h"

#include <windows.h>

#include <algorithm>
#include <array>

#include "platform/bcrypt_library.h"
#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"

// SHA-256 through the system's cryptography provider. bcrypt.dll is not a
// KnownDLL: named in the import table it would be looked for first beside
// the packer (a Downloads folder, a CI workspace), so it is loaded from
// System32 and its functions are taken by name, as the bootstrapper does.

namespace korvanthelm::pack {
namespace {

// BCryptHashData counts in ULONGs: larger inputs are hashed in pieces.
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

}  // namespace

// One hash computation; members in the order they are released last to
// first: the hash, the provider, then the DLL.
class Sha256Hasher::Backend {
  public:
    Backend() : bcrypt_(LoadBcryptLibrary()) {
        const auto open = bcrypt_.open_algorithm_provider;
        const auto create = bcrypt_.create_hash;
        const auto destroy = bcrypt_.destroy_hash;
        const auto close = bcrypt_.close_algorithm_provider;
        if (!open || !create || !bcrypt_.hash_data || !bcrypt_.finish_hash || !destroy || !close) {
            throw PackError("cannot start a SHA-256 computation (bcrypt.dll from System32)");
        }
        algorithm_ = UniqueAlgorithm(nullptr, BcryptAlgorithmTraits{close});
        hash_ = UniqueHash(nullptr, BcryptHashTraits{destroy});
        // No object buffer: the provider allocates its own (Windows 7 and later).
        if (open(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, /*implementation=*/nullptr,
                 /*flags=*/0) < 0 ||
            create(algorithm_.get(), hash_.put(), /*object=*/nullptr, /*object_length=*/0,
                   /*secret=*/nullptr, /*secret_length=*/0, /*flags=*/0) < 0) {
            throw PackError("cannot start a SHA-256 computation (bcrypt)");
        }
    }
    void Update(std::span<const std::byte> bytes) {
        while (!bytes.empty()) {
            const std::size_t piece = std::min(bytes.size(), kLargestPiece);
            if (bcrypt_.hash_data(hash_.get(),
                                  reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())),
                                  static_cast<ULONG>(piece), /*flags=*/0) < 0) {
                throw PackError("SHA-256 computation failed (bcrypt)");
            }
            bytes = bytes.subspan(piece);
        }
    }
    std::string FinishText() {
        std::array<unsigned char, 32> digest{};
        if (bcrypt_.finish_hash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()),
                                /*flags=*/0) < 0) {
            throw PackError("SHA-256 computation failed (bcrypt)");
        }
        return HexText(std::span<const unsigned char>(digest));
    }

  private:
    BcryptLibrary bcrypt_;
    UniqueAlgorithm algorithm_;
    UniqueHash hash_;
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
