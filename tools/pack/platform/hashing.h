// SHA-256 through the system's provider (OpenSSL on Linux in hashing_posix.cpp,
// bcrypt on Windows in hashing_windows.cpp), and digest text over it in
// hashing.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {

// One SHA-256 computation through the system's provider, fed in pieces:
// OpenSSL on Linux (hashing_posix.cpp); on Windows bcrypt, loaded from
// System32 (hashing_windows.cpp).
class Sha256Hasher {
  public:
    // Throws PackError when the provider cannot start a computation.
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // Throws PackError when the provider fails.
    void Update(std::span<const std::byte> bytes);
    // The digest text of everything given (see Sha256Text below); call once.
    // Throws PackError when the provider fails.
    std::string FinishText();

  private:
    class Backend;
    std::unique_ptr<Backend> backend_;
};

// SHA-256 as digest text: 64 characters from "0123456789abcdef", high four
// bits of each byte first, the form the bootstrapper compares.
std::string Sha256Text(std::span<const std::byte> bytes);

// The digest text of the regular file at `path`, read in pieces. Throws
// PackError naming the file when it cannot be read, is not a regular file
// (a FIFO or a device is refused without waiting or reading: /dev/zero would
// never end) or holds more than `max_size` bytes, also should it grow past
// that while being read.
std::string FileSha256Text(const std::string& path, std::uint64_t max_size = kMaxInputFileSize);

}  // namespace korvanthelm::pack
