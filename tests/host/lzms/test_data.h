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
#include <string_view>
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

// Up to `size` bytes: the regular files under `dir` (recursively if asked)
// whose names satisfy `wanted`, whole, in path order; nullopt if they add
// up to less.
template <typename Predicate>
std::optional<Bytes> ConcatenateFiles(const std::filesystem::path& dir, bool recursive,
                                      Predicate wanted, std::size_t size) {
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    const auto consider = [&](const std::filesystem::directory_entry& entry) {
        if (entry.is_regular_file(ec) && !entry.is_symlink(ec) &&
            wanted(entry.path().filename().string())) {
            paths.push_back(entry.path());
        }
    };
    if (recursive) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec))
            consider(entry);
    } else {
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            consider(entry);
    }
    std::sort(paths.begin(), paths.end());
    Bytes out;
    out.reserve(size);
    for (const auto& path : paths) {
        if (out.size() >= size)
            break;
        if (const auto file = ReadFileBytes(path, size - out.size()))
            out.insert(out.end(), file->begin(), file->end());
    }
    if (out.size() < size)
        return std::nullopt;
    return out;
}

inline bool EndsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// PE DLLs (x64 code: the x86 filter has work to do). kernelbase.dll first:
// a small slice is then code-heavy.
inline std::optional<Bytes> PeCode(std::size_t size) {
    const std::filesystem::path dir = kWinePeDir;
    auto first = ReadFileBytes(dir / "kernelbase.dll", size);
    if (!first)
        return std::nullopt;
    if (first->size() >= size)
        return first;
    auto rest = ConcatenateFiles(
        dir, false,
        [](const std::string& n) { return EndsWith(n, ".dll") && n != "kernelbase.dll"; },
        size - first->size());
    if (!rest)
        return std::nullopt;
    first->insert(first->end(), rest->begin(), rest->end());
    return first;
}

inline std::optional<Bytes> ElfLibraries(std::size_t size) {
    return ConcatenateFiles(
        kElfDir, false,
        [](const std::string& n) {
            return n.rfind("lib", 0) == 0 && n.find(".so") != std::string::npos;
        },
        size);
}

// C headers: plain text.
inline std::optional<Bytes> HeaderText(std::size_t size) {
    return ConcatenateFiles(
        "/usr/include", true, [](const std::string& n) { return EndsWith(n, ".h"); }, size);
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

// The same for 32-bit numbers.
inline Bytes ThirtyTwoBitRamps(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out;
    out.reserve(size + 4);
    std::uint32_t value = 0;
    while (out.size() < size) {
        const auto step = static_cast<std::uint32_t>(1 + rng() % 100'000);
        const std::size_t run = 64 + rng() % 2048;
        for (std::size_t i = 0; i < run && out.size() < size; ++i) {
            value += step + (rng() % 16 == 0 ? static_cast<std::uint32_t>(rng() % 3) : 0);
            for (int b = 0; b < 4; ++b)
                out.push_back(static_cast<std::byte>(value >> (8 * b)));
        }
    }
    out.resize(size);
    return out;
}

}  // namespace korvanthelm::testing
