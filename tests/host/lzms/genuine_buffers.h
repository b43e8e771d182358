// The genuine Windows-made Compression API buffers (tests/data) and a
// reference unpacker built on our container reader and decoder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "codec/lzms/lzms_decoder.h"
#include "format/compression_container.h"
#include "tests/host/lzms/test_data.h"

namespace korvanthelm::testing {

inline constexpr const char* kGenuineNames[] = {"zeros",   "sequential", "pattern", "single_byte",
                                                "english", "small",      "random"};

// <name>.lzms (the container) and <name>.raw (what it holds).
inline std::optional<Bytes> ReadGenuine(const std::string& file) {
    const char* folder = std::getenv("KORVANTHELM_GENUINE_LZMS_DIR");
    return ReadFileBytes(std::filesystem::path(folder ? folder : "") / file);
}

// What the stand-in does: every chunk into place; nullopt on any failure.
inline std::optional<Bytes> UnpackContainer(std::span<const std::byte> buffer) {
    const auto layout = format::ParseContainer(buffer);
    if (!layout)
        return std::nullopt;
    Bytes out(layout->total_size);
    std::size_t at = 0;
    for (const format::ContainerChunk& chunk : layout->chunks) {
        const auto dest = std::span(out).subspan(at, chunk.uncompressed_size);
        if (chunk.stored) {
            std::copy(chunk.payload.begin(), chunk.payload.end(), dest.begin());
        } else if (!lzms::DecodeBlock(chunk.payload, dest)) {
            return std::nullopt;
        }
        at += dest.size();
    }
    return out;
}

}  // namespace korvanthelm::testing
