// Test data for the LZMS tests and benchmark: files from this machine (PE
// code, ELF libraries, C headers) and generated data. Everything is
// deterministic for a given machine; files that are missing give nullopt.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace korvanthelm::testing {

using Bytes = std::vector<std::byte>;

inline std::optional<Bytes> ReadFileBytes(const std::filesystem::path& path,
                                          std::size_t max_bytes = SIZE_MAX) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    Bytes bytes;
    char buffer[1 << 16];
    while (bytes.size() < max_bytes && file) {
        file.read(buffer,
                  static_cast<std::streamsize>(std::min(sizeof buffer, max_bytes - bytes.size())));
        const auto got = static_cast<std::size_t>(file.gcount());
        const auto* first = reinterpret_cast<const std::byte*>(buffer);
        bytes.insert(bytes.end(), first, first + got);
    }
    return bytes;
}

inline constexpr const char* kWinePeDir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
inline constexpr const char* kElfDir = "/usr/lib/x86_64-linux-gnu";

// Up to `size` bytes made of the named files in `dir`, whole files in the
// given order (cycling if they run out); nullopt if any is missing.
inline std::optional<Bytes> ConcatenateFiles(const std::filesystem::path& dir,
                                             const std::vector<std::string>& names,
                                             std::size_t size) {
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        for (const std::string& name : names) {
            const auto file = ReadFileBytes(dir / name, size - out.size());
            if (!file || file->empty())
                return std::nullopt;
            out.insert(out.end(), file->begin(), file->end());
            if (out.size() >= size)
                break;
        }
    }
    return out;
}

// PE DLLs (x64 code: the x86 filter has work to do).
inline std::optional<Bytes> PeCode(std::size_t size) {
    return ConcatenateFiles(
        kWinePeDir,
        {"kernelbase.dll", "ntdll.dll", "kernel32.dll", "user32.dll", "comctl32.dll", "ole32.dll"},
        size);
}

inline std::optional<Bytes> ElfLibraries(std::size_t size) {
    return ConcatenateFiles(kElfDir, {"libc.so.6", "libstdc++.so.6", "libcrypto.so.3"}, size);
}

// C headers, in name order: plain text.
inline std::optional<Bytes> HeaderText(std::size_t size) {
    std::vector<std::filesystem::path> headers;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/include", ec)) {
        if (entry.is_regular_file() && entry.path().extension() == ".h")
            headers.push_back(entry.path());
    }
    if (headers.empty())
        return std::nullopt;
    std::sort(headers.begin(), headers.end());
    Bytes out;
    for (const auto& path : headers) {
        if (out.size() >= size)
            break;
        if (const auto file = ReadFileBytes(path, size - out.size()))
            out.insert(out.end(), file->begin(), file->end());
    }
    if (out.size() < size)
        return std::nullopt;
    return out;
}

inline Bytes RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(size);
    for (auto& b : out)
        b = static_cast<std::byte>(rng());
    return out;
}

// Tables of 16-bit little-endian numbers rising by varying steps, with a
// little noise: what delta matches are for.
inline Bytes SixteenBitRamps(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out;
    out.reserve(size + 4);
    std::uint16_t value = 0;
    while (out.size() < size) {
        const auto step = static_cast<std::uint16_t>(1 + rng() % 700);
        const std::size_t run = 64 + rng() % 2048;
        for (std::size_t i = 0; i < run && out.size() < size; ++i) {
            value = static_cast<std::uint16_t>(value + step + (rng() % 16 == 0 ? rng() % 3 : 0));
            out.push_back(static_cast<std::byte>(value));
            out.push_back(static_cast<std::byte>(value >> 8));
        }
    }
    out.resize(size);
    return out;
}

}  // namespace korvanthelm::testing
