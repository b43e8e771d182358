// libFuzzer target for the strict container reader. Whatever it accepts
// must be exactly what the framing rules describe: rebuilding the buffer from
// the returned layout gives back the input byte for byte, chunks cover T
// exactly, and a chunk is stored exactly when its payload is as long as the
// chunk.
//
// To get past the check byte, inputs whose check byte is even have it
// replaced by the correct one; odd ones are taken as they are (and nearly
// always refused by the check).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/compression_container.h"

namespace f = korvanthelm::format;

namespace {

std::uint64_t LoadLe64(const std::byte* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | std::to_integer<std::uint64_t>(p[i]);
    return v;
}

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* first = reinterpret_cast<const std::byte*>(data);
    std::vector<std::byte> buffer(first, first + size);
    if (size >= f::kContainerHeaderSize && (data[6] & 1) == 0) {
        const auto header =
            f::MakeContainerHeader(data[7], LoadLe64(first + 8), LoadLe64(first + 16));
        buffer[6] = header[6];
    }
    const auto layout = f::ParseContainer(buffer);
    if (!layout)
        return 0;

    std::vector<std::byte> rebuilt =
        f::MakeContainerHeader(layout->algorithm, layout->total_size, layout->chunk_size);
    std::uint64_t covered = 0;
    for (const f::ContainerChunk& chunk : layout->chunks) {
        Check(chunk.uncompressed_size >= 1 && chunk.uncompressed_size <= layout->chunk_size);
        Check(chunk.payload.size() >= 1 && chunk.payload.size() <= chunk.uncompressed_size);
        Check(chunk.stored == (chunk.payload.size() == chunk.uncompressed_size));
        // Every chunk but the last is a full K.
        Check(covered % layout->chunk_size == 0);
        covered += chunk.uncompressed_size;
        const auto cs = static_cast<std::uint32_t>(chunk.payload.size());
        for (int i = 0; i < 4; ++i)
            rebuilt.push_back(static_cast<std::byte>(cs >> (8 * i)));
        Check(chunk.payload.data() == buffer.data() + rebuilt.size());
        rebuilt.insert(rebuilt.end(), chunk.payload.begin(), chunk.payload.end());
    }
    Check(covered == layout->total_size);
    Check(rebuilt == buffer);
    return 0;
}
