#include "tools/pack/platform/read_exactly.h"

#include "tools/pack/platform/read_some.h"

namespace korvanthelm::pack {

ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error) {
    while (!out.empty()) {
        const std::optional<std::size_t> got = ReadSome(file, out, error);
        if (!got) {
            return ExactRead::kFailed;
        }
        if (*got == 0) {
            return ExactRead::kShorter;
        }
        out = out.subspan(*got);
    }
    std::byte extra;
    int ignored = 0;
    const std::optional<std::size_t> got = ReadSome(file, std::span(&extra, 1), ignored);
    return got && *got == 0 ? ExactRead::kRead : ExactRead::kLonger;
}

}  // namespace korvanthelm::pack
