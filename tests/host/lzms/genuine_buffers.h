// The genuine Windows-made Compression API buffers (tests/data) and the
// built-in unpacker the product falls back on.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "codec/container/decode_container.h"
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

// The product's built-in decoder (and the stand-in's): nullopt on any failure.
inline std::optional<Bytes> UnpackContainer(std::span<const std::byte> buffer) {
    const auto layout = format::ParseContainer(buffer);
    if (!layout)
        return std::nullopt;
    Bytes out(layout->total_size);
    if (!codec::DecodeContainer(buffer, out))
        return std::nullopt;
    return out;
}

}  // namespace korvanthelm::testing
