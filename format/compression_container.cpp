#include "format/compression_container.h"

#include "format/little_endian.h"

#include <algorithm>
#include <array>

namespace korvanthelm::format {
namespace {

constexpr std::array<std::uint8_t, 6> kSignature = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00};
constexpr std::size_t kCheckByteOffset = 6;

std::uint32_t Crc32Update(std::uint32_t crc, std::span<const std::byte> bytes) {
    // Only 23 bytes per header: the bitwise form is fast enough and has no table to get wrong.
    for (const std::byte b : bytes) {
        crc ^= std::to_integer<std::uint32_t>(b);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// Low byte of the zlib CRC-32 of the header without its check byte.
std::uint8_t HeaderCheckByte(std::span<const std::byte> header) {
    std::uint32_t crc = 0xFFFFFFFF;
    crc = Crc32Update(crc, header.first(kCheckByteOffset));
    crc = Crc32Update(
        crc, header.subspan(kCheckByteOffset + 1, kContainerHeaderSize - kCheckByteOffset - 1));
    return static_cast<std::uint8_t>(~crc);
}

}  // namespace

bool IsValidFraming(std::uint64_t total_size, std::uint64_t chunk_size) {
    if (total_size == 0)
        return chunk_size == 0;
    if (chunk_size == 0 || chunk_size > kLzmsChunkSize || chunk_size > total_size)
        return false;
    return chunk_size >= kMinMultiChunkSize || chunk_size == total_size;
}

std::vector<std::byte> MakeContainerHeader(std::uint8_t algorithm, std::uint64_t total_size,
                                           std::uint64_t chunk_size) {
    std::vector<std::byte> header(kContainerHeaderSize);
    for (std::size_t i = 0; i < kSignature.size(); ++i)
        header[i] = std::byte{kSignature[i]};
    header[7] = std::byte{algorithm};
    StoreLittleEndian(header.data() + 8, total_size, 8);
    StoreLittleEndian(header.data() + 16, chunk_size, 8);
    header[kCheckByteOffset] = std::byte{HeaderCheckByte(header)};
    return header;
}

std::optional<ContainerLayout> ParseContainer(std::span<const std::byte> buffer) {
    if (buffer.size() < kContainerHeaderSize)
        return std::nullopt;
    for (std::size_t i = 0; i < kSignature.size(); ++i) {
        if (buffer[i] != std::byte{kSignature[i]})
            return std::nullopt;
    }
    if (std::to_integer<std::uint8_t>(buffer[kCheckByteOffset]) != HeaderCheckByte(buffer)) {
        return std::nullopt;
    }
    ContainerLayout layout;
    layout.algorithm = std::to_integer<std::uint8_t>(buffer[7]);
    layout.total_size = LoadLittleEndian(buffer.subspan(8, 8));
    layout.chunk_size = LoadLittleEndian(buffer.subspan(16, 8));
    // The stored-chunk rule below is LZMS's; other algorithms frame differently.
    if (layout.algorithm != kAlgorithmLzms)
        return std::nullopt;
    if (!IsValidFraming(layout.total_size, layout.chunk_size))
        return std::nullopt;

    // Every record needs at least its size field and one byte, which bounds
    // the number of chunks by the buffer, whatever T claims.
    std::span<const std::byte> rest = buffer.subspan(kContainerHeaderSize);
    std::uint64_t left = layout.total_size;
    layout.chunks.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(rest.size() / (kChunkSizeFieldBytes + 1),
                                left / std::max<std::uint64_t>(layout.chunk_size, 1) + 1)));
    while (left > 0) {
        if (rest.size() < kChunkSizeFieldBytes)
            return std::nullopt;
        const std::uint64_t payload_size = LoadLittleEndian(rest.first(kChunkSizeFieldBytes));
        rest = rest.subspan(kChunkSizeFieldBytes);
        const std::uint64_t chunk_bytes = std::min(layout.chunk_size, left);
        if (payload_size == 0 || payload_size > chunk_bytes || payload_size > rest.size()) {
            return std::nullopt;
        }
        const auto payload_length = static_cast<std::size_t>(payload_size);
        layout.chunks.push_back(ContainerChunk{rest.first(payload_length), chunk_bytes,
                                               /*stored=*/payload_size == chunk_bytes});
        rest = rest.subspan(payload_length);
        left -= chunk_bytes;
    }
    if (!rest.empty())
        return std::nullopt;
    return layout;
}

}  // namespace korvanthelm::format
