// libFuzzer target for the LZMS encoder: any chunk is encoded, and the block
// must decode to the same bytes with our decoder and with wimlib's. Given
// room one byte short of the chunk, the answer is a block that fits or 0.
//
// Input: the chunk itself, and byte 0 also chooses how much the chunk is
// stretched (repeated with a varying byte) so that short inputs reach long
// matches, repeats and code rebuilds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/lzms/lzms_decoder.h"
#include "codec/lzms/lzms_encoder.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace {

using Bytes = std::vector<std::byte>;

const korvanthelm::testing::WimlibLzmsDecompressor& Reference() {
    static const korvanthelm::testing::WimlibLzmsDecompressor d(std::size_t{1} << 20);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    Bytes chunk(reinterpret_cast<const std::byte*>(data),
                reinterpret_cast<const std::byte*>(data) + size);
    const unsigned copies = data[0] % 8;
    for (unsigned c = 1; c <= copies; ++c) {
        for (std::size_t i = 0; i < size; ++i)
            chunk.push_back(static_cast<std::byte>(data[i] + (i % 97 == 0 ? c : 0)));
    }

    Bytes block(chunk.size() + chunk.size() / 8 + 64);
    const std::size_t n = korvanthelm::lzms::EncodeBlock(chunk, block);
    if (chunk.size() < 4) {
        if (n != 0)
            std::abort();
        return 0;
    }
    if (n == 0 || n % 2 != 0 || n > block.size())
        std::abort();
    block.resize(n);
    Bytes ours(chunk.size());
    if (!korvanthelm::lzms::DecodeBlock(block, ours) || ours != chunk)
        std::abort();
    Bytes theirs(chunk.size());
    if (!Reference().Decompress(block, theirs) || theirs != chunk)
        std::abort();

    // One byte short of the chunk: the same block if it is smaller, else 0.
    Bytes tight(chunk.size() - 1);
    const std::size_t m = korvanthelm::lzms::EncodeBlock(chunk, tight);
    if (n < chunk.size() ? (m != n || !std::equal(block.begin(), block.end(), tight.begin()))
                         : m != 0) {
        std::abort();
    }
    return 0;
}
