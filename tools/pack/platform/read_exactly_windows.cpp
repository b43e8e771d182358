#include <windows.h>

#include <algorithm>

#include "tools/pack/platform/read_exactly.h"

namespace korvanthelm::pack {
namespace {

// ReadFile counts in DWORDs: larger reads are made in pieces.
constexpr std::size_t kLargestRead = std::size_t{1} << 30;

}  // namespace

ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error) {
    while (!out.empty()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), out.data(),
                      static_cast<DWORD>(std::min(out.size(), kLargestRead)), &got,
                      /*overlapped=*/nullptr)) {
            error = static_cast<int>(GetLastError());
            return ExactRead::kFailed;
        }
        if (got == 0) {
            return ExactRead::kShorter;
        }
        out = out.subspan(got);
    }
    std::byte extra;
    DWORD got = 0;
    const BOOL read = ReadFile(file.get(), &extra, 1, &got, /*overlapped=*/nullptr);
    return read && got == 0 ? ExactRead::kRead : ExactRead::kLonger;
}

}  // namespace korvanthelm::pack
