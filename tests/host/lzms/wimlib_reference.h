// wimlib's LZMS compressor and decompressor, used as a black box: the encoder
// that makes our test blocks, and the reference our decoder must agree with.
// Shared by the host tests and the benchmark.
#pragma once

#include <wimlib.h>

#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvanthelm::testing {

class WimlibLzmsCompressor {
  public:
    // level: 50 is wimlib's default; delta matches need >= 35.
    explicit WimlibLzmsCompressor(std::size_t max_block_size, unsigned level = 50) {
        wimlib_compressor* c = nullptr;
        if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_block_size, level, &c) !=
            0) {
            throw std::runtime_error("wimlib_create_compressor failed");
        }
        compressor_.reset(c);
    }

    // The raw LZMS block for `data`, or empty when wimlib declines (inputs
    // under 4 bytes). Room is generous, so incompressible data still gives a
    // block (larger than the input).
    std::vector<std::byte> Compress(std::span<const std::byte> data) const {
        std::vector<std::byte> out(data.size() + data.size() / 8 + 1024);
        const std::size_t n =
            wimlib_compress(data.data(), data.size(), out.data(), out.size(), compressor_.get());
        out.resize(n);
        return out;
    }

    // Same, but 0 unless the block is strictly smaller (what a container keeps).
    std::size_t CompressInto(std::span<const std::byte> data, std::span<std::byte> out) const {
        return wimlib_compress(data.data(), data.size(), out.data(), out.size(), compressor_.get());
    }

  private:
    struct Free {
        void operator()(wimlib_compressor* c) const { wimlib_free_compressor(c); }
    };
    std::unique_ptr<wimlib_compressor, Free> compressor_;
};

class WimlibLzmsDecompressor {
  public:
    explicit WimlibLzmsDecompressor(std::size_t max_block_size) {
        wimlib_decompressor* d = nullptr;
        if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_block_size, &d) != 0) {
            throw std::runtime_error("wimlib_create_decompressor failed");
        }
        decompressor_.reset(d);
    }

    bool Decompress(std::span<const std::byte> block, std::span<std::byte> out) const {
        return wimlib_decompress(block.data(), block.size(), out.data(), out.size(),
                                 decompressor_.get()) == 0;
    }

  private:
    struct Free {
        void operator()(wimlib_decompressor* d) const { wimlib_free_decompressor(d); }
    };
    std::unique_ptr<wimlib_decompressor, Free> decompressor_;
};

}  // namespace korvanthelm::testing
