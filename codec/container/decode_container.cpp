#include "codec/container/decode_container.h"

#include <cstring>

#include "codec/lzms/lzms_decoder.h"

namespace korvanthelm::codec {

bool DecodeContainerChunks(const format::ContainerLayout& layout,
                           std::span<std::byte> out) noexcept {
    if (out.size() != layout.total_size) {
        return false;
    }
    // ParseContainer guarantees the chunks' sizes add up to total_size, so
    // `at` never passes out.size().
    std::size_t at = 0;
    for (const format::ContainerChunk& chunk : layout.chunks) {
        const auto size = static_cast<std::size_t>(chunk.uncompressed_size);
        const std::span<std::byte> dest = out.subspan(at, size);
        if (chunk.stored) {
            std::memcpy(dest.data(), chunk.payload.data(), size);
        } else if (!lzms::DecodeBlock(chunk.payload, dest)) {
            return false;
        }
        at += size;
    }
    return true;
}

bool DecodeContainer(std::span<const std::byte> buffer, std::span<std::byte> out) {
    const auto layout = format::ParseContainer(buffer);
    return layout && DecodeContainerChunks(*layout, out);
}

}  // namespace korvanthelm::codec
