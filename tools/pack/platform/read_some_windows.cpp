#include <windows.h>

#include <algorithm>

#include "tools/pack/platform/read_some.h"

namespace korvanthelm::pack {
namespace {

// ReadFile counts in DWORDs: a larger request is cut to this.
constexpr std::size_t kLargestRead = std::size_t{1} << 30;

}  // namespace

std::optional<std::size_t> ReadSome(const UniqueFd& file, std::span<std::byte> out, int& error) {
    DWORD got = 0;
    if (!ReadFile(file.get(), out.data(), static_cast<DWORD>(std::min(out.size(), kLargestRead)),
                  &got, /*overlapped=*/nullptr)) {
        error = static_cast<int>(GetLastError());
        return std::nullopt;
    }
    return std::size_t{got};
}

}  // namespace korvanthelm::pack
