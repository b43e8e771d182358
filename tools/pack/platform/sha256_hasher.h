// One SHA-256 computation through the system's provider, fed in pieces:
// OpenSSL on Linux (sha256_hasher.cpp); on Windows bcrypt, loaded from
// System32 (sha256_hasher_windows.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace korvanthelm::pack {

class Sha256Hasher {
  public:
    // Throws PackError when the provider cannot start a computation.
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // Throws PackError when the provider fails.
    void Update(std::span<const std::byte> bytes);
    // The digest text of everything given (see sha256_text.h); call once.
    // Throws PackError when the provider fails.
    std::string FinishText();

  private:
    class Backend;
    std::unique_ptr<Backend> backend_;
};

}  // namespace korvanthelm::pack
