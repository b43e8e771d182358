// ReadWholeFile of file_io.h: the same on every system, over OpenRegularFile
// and ReadSome.
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/read_some.h"

namespace korvanthelm::pack {
namespace {

// A read that grows the buffer past the size seen at open must still stop at
// `max_size`: one byte more is read to tell "exactly that" from "more".
constexpr std::size_t kGrowthStep = 1 << 16;

}  // namespace

std::vector<std::byte> ReadWholeFile(const std::string& path, std::uint64_t max_size) {
    const OpenedFile file = OpenRegularFile(path, max_size);
    std::vector<std::byte> bytes(static_cast<std::size_t>(file.size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > max_size) {
                ThrowFileTooLarge(path, max_size);  // it grew while being read
            }
            bytes.resize(bytes.size() + kGrowthStep);  // the file may have grown
        }
        const std::size_t got = ReadSomeOf(file.fd, std::span(bytes).subspan(done), path);
        if (got == 0) {
            break;
        }
        done += got;
    }
    if (done > max_size) {
        ThrowFileTooLarge(path, max_size);
    }
    bytes.resize(done);
    return bytes;
}

}  // namespace korvanthelm::pack
