#include "tools/pack/platform/read_some.h"

#include <unistd.h>

#include <cerrno>

namespace korvanthelm::pack {

std::optional<std::size_t> ReadSome(const UniqueFd& file, std::span<std::byte> out, int& error) {
    for (;;) {
        const ssize_t got = ::read(file.get(), out.data(), out.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            error = errno;
            return std::nullopt;
        }
    }
}

}  // namespace korvanthelm::pack
