#include "tools/pack/platform/read_exactly.h"

#include <unistd.h>

#include <cerrno>

namespace korvanthelm::pack {

ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error) {
    while (!out.empty()) {
        const ssize_t got = ::read(file.get(), out.data(), out.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return ExactRead::kFailed;
        }
        if (got == 0) {
            return ExactRead::kShorter;
        }
        out = out.subspan(static_cast<std::size_t>(got));
    }
    std::byte extra;
    ssize_t got;
    do {
        got = ::read(file.get(), &extra, 1);
    } while (got < 0 && errno == EINTR);
    return got == 0 ? ExactRead::kRead : ExactRead::kLonger;
}

}  // namespace korvanthelm::pack
