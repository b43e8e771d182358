#include "tools/pack/compress/check_lzms_compressor.h"

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/compress/lzms_codec.h"

namespace korvanthelm::pack {
namespace {

constexpr std::size_t kSampleSize = std::size_t{64} << 10;

// Lines of text with a counter: repetitive enough for any LZMS compressor to
// shrink to a few percent, varied enough that a block of it is no constant.
std::vector<std::byte> Sample() {
    std::vector<std::byte> sample;
    sample.reserve(kSampleSize);
    for (unsigned line = 0; sample.size() < kSampleSize; ++line) {
        const std::string text = "launcher/lib/library-" + std::to_string(line) + ".jar\n";
        for (const char c : text) {
            if (sample.size() == kSampleSize) {
                break;
            }
            sample.push_back(static_cast<std::byte>(c));
        }
    }
    return sample;
}

}  // namespace

CompressorVerdict CheckLzmsCompressorForTesting(const CompressSample& compress) {
    const std::vector<std::byte> sample = Sample();
    // One byte less than the sample: a block that fits is a real saving, as
    // for the package's chunks.
    std::vector<std::byte> block(sample.size() - 1);
    const std::size_t size = compress(sample, block);
    if (size == 0) {
        return CompressorVerdict::kStoresOnly;
    }
    std::vector<std::byte> decoded(sample.size());
    LzmsDecompressor decompressor(sample.size());
    if (size > block.size() || !decompressor.Decompress(std::span(block).first(size), decoded) ||
        decoded != sample) {
        throw PackError(
            "the LZMS compressor makes blocks that do not decode to their input (newer Wine's "
            "stub copies instead of compressing): no package can be made with it");
    }
    return CompressorVerdict::kCompresses;
}

CompressorVerdict CheckLzmsCompressor() {
    LzmsCompressor compressor(kSampleSize);
    return CheckLzmsCompressorForTesting(
        [&](std::span<const std::byte> sample, std::span<std::byte> out) {
            return compressor.Compress(sample, out);
        });
}

}  // namespace korvanthelm::pack
