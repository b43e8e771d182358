// hashing.h: the parts that are the same on every system.
#include "tools/pack/platform/hashing.h"

#include <array>

#include "tools/pack/platform/files.h"

// Sha256Text and FileSha256Text: the same on every system,
// over Sha256Hasher and ReadSome.

namespace korvanthelm::pack {

std::string Sha256Text(std::span<const std::byte> bytes) {
    Sha256Hasher sha;
    sha.Update(bytes);
    return sha.FinishText();
}

std::string FileSha256Text(const std::string& path, std::uint64_t max_size) {
    const OpenedFile file = OpenRegularFile(path, max_size);
    Sha256Hasher sha;
    std::uint64_t done = 0;
    std::array<std::byte, 1 << 16> buffer;
    for (;;) {
        const std::size_t got = ReadSomeOf(file.fd, buffer, path);
        if (got == 0) {
            break;
        }
        done += got;
        if (done > max_size) {
            ThrowFileTooLarge(path, max_size);  // it grew while being read
        }
        sha.Update(std::span(buffer).first(got));
    }
    return sha.FinishText();
}

}  // namespace korvanthelm::pack
