// Decoding speed of our LZMS decoder next to wimlib's, on the same blocks in
// the same run, alternating, so machine noise hits both alike.
//
//   lzms_bench [DATA_FILE] [--rounds N] [--level L] [--cache FILE]
//
// Data: DATA_FILE; else $PERF_ROOT/data/tree.bin (the realistic launcher tree
// of shared/bench/build_launcher_tree.py); else ~56 MB assembled from this
// machine: PE DLLs, ELF libraries, C headers and gzip files (already
// compressed). Cut into 64 MiB chunks and compressed with wimlib, as the
// packer does (that takes a minute; --cache keeps the blocks in FILE for the
// next run of the same data and level). MB = 10^6 bytes of uncompressed data
// per second of this thread's CPU time: on a shared machine wall time mostly
// measures the neighbours; wall-clock figures are printed beside it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "codec/lzms/lzms_decoder.h"
#include "tests/host/lzms/test_data.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace {

namespace t = korvanthelm::testing;
using Clock = std::chrono::steady_clock;

struct Chunk {
    std::span<const std::byte> raw;
    t::Bytes block;
};

std::optional<t::Bytes> MachineMix() {
    auto pe = t::PeCode(20'000'000);
    auto elf = t::ElfLibraries(10'000'000);
    auto text = t::HeaderText(12'000'000);
    auto gz = t::ConcatenateFiles(
        "/usr/share", true, [](const std::string& n) { return t::EndsWith(n, ".gz"); }, 14'000'000);
    if (!pe || !elf || !text || !gz)
        return std::nullopt;
    t::Bytes all = std::move(*pe);
    for (const t::Bytes* part : {&*elf, &*text, &*gz})
        all.insert(all.end(), part->begin(), part->end());
    return all;
}

double ThreadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::uint64_t Fingerprint(std::span<const std::byte> data, unsigned level) {
    std::uint64_t h = 14695981039346656037ull ^ level;  // FNV-1a
    for (const std::byte b : data)
        h = (h ^ std::to_integer<std::uint64_t>(b)) * 1099511628211ull;
    return h ^ data.size();
}

// Cache file: fingerprint, chunk count, then (size, bytes) per block.
bool LoadCache(const std::string& path, std::uint64_t fingerprint, std::vector<Chunk>& chunks) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t header[2];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || header[0] != fingerprint ||
        header[1] != chunks.size()) {
        return false;
    }
    for (Chunk& c : chunks) {
        std::uint64_t size;
        if (!in.read(reinterpret_cast<char*>(&size), sizeof size) || size > 2 * c.raw.size() + 4096)
            return false;
        c.block.resize(size);
        if (!in.read(reinterpret_cast<char*>(c.block.data()), static_cast<std::streamsize>(size)))
            return false;
    }
    return true;
}

void SaveCache(const std::string& path, std::uint64_t fingerprint,
               const std::vector<Chunk>& chunks) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::uint64_t header[2] = {fingerprint, chunks.size()};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    for (const Chunk& c : chunks) {
        const std::uint64_t size = c.block.size();
        out.write(reinterpret_cast<const char*>(&size), sizeof size);
        out.write(reinterpret_cast<const char*>(c.block.data()),
                  static_cast<std::streamsize>(size));
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int rounds = 7;
    unsigned level = 50;
    std::string cache;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--cache" && i + 1 < argc) {
            cache = argv[++i];
        } else if (arg == "--level" && i + 1 < argc) {
            level = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            path = arg;
        }
    }
    if (path.empty()) {
        if (const char* root = std::getenv("PERF_ROOT"))
            path = std::string(root) + "/data/tree.bin";
    }

    std::optional<t::Bytes> data;
    if (!path.empty()) {
        data = t::ReadFileBytes(path);
        if (!data) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        std::printf("data: %s\n", path.c_str());
    } else {
        data = MachineMix();
        if (!data) {
            std::fprintf(stderr,
                         "this machine lacks the files for the mixed data; pass a DATA_FILE\n");
            return 2;
        }
        std::printf("data: PE DLLs + ELF libraries + C headers + gzip files from this machine\n");
    }

    const std::size_t k = korvanthelm::lzms::kMaxBlockSize;
    const t::WimlibLzmsDecompressor reference(k);
    std::vector<Chunk> chunks;
    for (std::size_t at = 0; at < data->size(); at += k) {
        chunks.push_back({std::span(*data).subspan(at, std::min(k, data->size() - at)), {}});
    }
    const std::uint64_t fingerprint = Fingerprint(*data, level);
    const auto c0 = Clock::now();
    if (cache.empty() || !LoadCache(cache, fingerprint, chunks)) {
        const t::WimlibLzmsCompressor compressor(std::min(k, data->size()), level);
        for (Chunk& c : chunks)
            c.block = compressor.Compress(c.raw);
        if (!cache.empty())
            SaveCache(cache, fingerprint, chunks);
    }
    std::size_t compressed = 0;
    for (const Chunk& c : chunks)
        compressed += c.block.size();
    const double compress_s = std::chrono::duration<double>(Clock::now() - c0).count();
    std::printf("%zu bytes in %zu chunk(s) -> %zu bytes LZMS (%.2f %%, wimlib level %u, %.1f s)\n",
                data->size(), chunks.size(), compressed,
                100.0 * static_cast<double>(compressed) / static_cast<double>(data->size()), level,
                compress_s);
    std::printf("our decoder's working memory: %zu bytes\n",
                korvanthelm::lzms::WorkingMemoryForTesting());

    t::Bytes out(data->size());
    // MB/s by CPU time; the wall-clock figure goes to `wall`.
    const auto decode_all = [&](bool ours, double* wall = nullptr) {
        const auto start = Clock::now();
        const double cpu_start = ThreadSeconds();
        std::size_t at = 0;
        for (const Chunk& c : chunks) {
            const std::span<std::byte> dest = std::span(out).subspan(at, c.raw.size());
            const bool ok = ours ? korvanthelm::lzms::DecodeBlock(c.block, dest)
                                 : reference.Decompress(c.block, dest);
            if (!ok) {
                std::fprintf(stderr, "%s decoder failed\n", ours ? "our" : "wimlib's");
                std::exit(1);
            }
            at += c.raw.size();
        }
        const double cpu = ThreadSeconds() - cpu_start;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double mb = static_cast<double>(data->size()) / 1e6;
        if (wall)
            *wall = mb / seconds;
        return mb / cpu;
    };

    // Both must produce the input before any timing counts.
    for (const bool ours : {true, false}) {
        std::memset(out.data(), 0, out.size());
        decode_all(ours);
        if (out != *data) {
            std::fprintf(stderr, "%s decoder produced different bytes\n",
                         ours ? "our" : "wimlib's");
            return 1;
        }
    }

    korvanthelm::lzms::BlockStatisticsForTesting total;
    {
        std::size_t at = 0;
        for (const Chunk& c : chunks) {
            korvanthelm::lzms::BlockStatisticsForTesting s;
            korvanthelm::lzms::DecodeBlockForTesting(c.block,
                                                     std::span(out).subspan(at, c.raw.size()), s);
            at += c.raw.size();
            total.literals += s.literals;
            total.explicit_lz += s.explicit_lz;
            total.explicit_delta += s.explicit_delta;
            total.x86_operands_restored += s.x86_operands_restored;
            for (int i = 0; i < 4; ++i) {
                total.repeat_lz[i] += s.repeat_lz[i];
                total.repeat_delta[i] += s.repeat_delta[i];
            }
        }
    }
    std::printf(
        "items: %llu literals, %llu + %llu LZ (explicit + repeat), %llu + %llu delta, %llu x86 "
        "operands\n",
        static_cast<unsigned long long>(total.literals),
        static_cast<unsigned long long>(total.explicit_lz),
        static_cast<unsigned long long>(total.repeat_lz[0] + total.repeat_lz[1] +
                                        total.repeat_lz[2] + total.repeat_lz[3]),
        static_cast<unsigned long long>(total.explicit_delta),
        static_cast<unsigned long long>(total.repeat_delta[0] + total.repeat_delta[1] +
                                        total.repeat_delta[2] + total.repeat_delta[3]),
        static_cast<unsigned long long>(total.x86_operands_restored));

    std::vector<double> ours_mbs, wimlib_mbs, ours_wall, wimlib_wall;
    for (int r = 0; r < rounds; ++r) {
        double w1 = 0;
        double w2 = 0;
        // Alternate who goes first: caches and clock boosts favour neither.
        if (r % 2 == 0) {
            ours_mbs.push_back(decode_all(true, &w1));
            wimlib_mbs.push_back(decode_all(false, &w2));
        } else {
            wimlib_mbs.push_back(decode_all(false, &w2));
            ours_mbs.push_back(decode_all(true, &w1));
        }
        ours_wall.push_back(w1);
        wimlib_wall.push_back(w2);
        std::printf(
            "round %2d: ours %6.1f MB/s   wimlib %6.1f MB/s   (wall clock: %6.1f / %6.1f)\n", r + 1,
            ours_mbs.back(), wimlib_mbs.back(), w1, w2);
    }
    const double ours = Median(ours_mbs);
    const double theirs = Median(wimlib_mbs);
    std::printf("median (CPU time):   ours %.1f MB/s, wimlib %.1f MB/s, ratio ours/wimlib %.3f\n",
                ours, theirs, ours / theirs);
    std::printf("best (CPU time):     ours %.1f MB/s, wimlib %.1f MB/s, ratio ours/wimlib %.3f\n",
                Best(ours_mbs), Best(wimlib_mbs), Best(ours_mbs) / Best(wimlib_mbs));
    std::printf("median (wall clock): ours %.1f MB/s, wimlib %.1f MB/s, ratio ours/wimlib %.3f\n",
                Median(ours_wall), Median(wimlib_wall), Median(ours_wall) / Median(wimlib_wall));
    return 0;
}
