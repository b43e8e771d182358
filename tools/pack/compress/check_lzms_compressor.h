// Whether the LZMS compressor at hand does its work, asked with a small
// sample in milliseconds before the long compression. On Windows the
// compressor is the system's: a Windows before 8 has none, Wine 8 has none,
// and newer Wine's "succeeds" by copying its input, which would make blocks
// no bootstrapper can decode.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

namespace korvanthelm::pack {

enum class CompressorVerdict {
    kCompresses,  // the sample shrank and decodes back to itself
    kStoresOnly,  // nothing fits in less room than its input: chunks are stored
};

// Compresses a 64 KiB sample any LZMS compressor shrinks to a small fraction
// and decodes the block with the packer's checking decoder. Throws PackError
// when no compressor can be made (the system's reason) or the block does not
// decode to the sample. Writes nothing.
CompressorVerdict CheckLzmsCompressor();

// What a compressor is asked: one block for `sample` in `out`, its size, or 0
// when it does not fit (LzmsCompressor::Compress).
using CompressSample =
    std::function<std::size_t(std::span<const std::byte> sample, std::span<std::byte> out)>;

// CheckLzmsCompressor's judgement with `compress` standing in for the
// compressor at hand (decoding still with the packer's decoder): each branch
// of the verdict, testable on a system whose compressor takes only one.
CompressorVerdict CheckLzmsCompressorForTesting(const CompressSample& compress);

}  // namespace korvanthelm::pack
