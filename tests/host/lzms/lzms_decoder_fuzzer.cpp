// libFuzzer target for the LZMS decoder, differential against wimlib: any
// block, any size, must give a clean verdict, never touch memory outside the
// output, and agree with wimlib's decoder (verdict and bytes).
//
// Input: byte 0 chooses the form.
//  * odd:  damage a valid wimlib-made block (chosen by byte 0 >> 1): the rest
//          is (2-byte position, XOR byte) triples. This reaches deep into the
//          item grammar even in a short run.
//  * even: bytes 1-2 give the output size (1..65536), the rest is the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/lzms/lzms_decoder.h"
#include "tests/host/lzms/test_data.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace {

using korvanthelm::testing::Bytes;

struct Seed {
    Bytes block;
    std::size_t size;
};

std::vector<Seed>& Seeds() {
    static std::vector<Seed> seeds;
    return seeds;
}

const korvanthelm::testing::WimlibLzmsDecompressor& Reference() {
    static const korvanthelm::testing::WimlibLzmsDecompressor d(std::size_t{1} << 20);
    return d;
}

void AddSeed(const korvanthelm::testing::WimlibLzmsCompressor& c, const Bytes& data) {
    Seeds().push_back({c.Compress(data), data.size()});
}

constexpr std::size_t kGuard = 32;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace t = korvanthelm::testing;
    const t::WimlibLzmsCompressor compressor(std::size_t{1} << 20);
    AddSeed(compressor, t::SixteenBitRamps(6000, 1));
    AddSeed(compressor, t::RandomBytes(700, 2));
    if (const auto code = t::PeCode(12000))
        AddSeed(compressor, *code);
    if (const auto text = t::HeaderText(5000))
        AddSeed(compressor, *text);
    Bytes mixed = t::SixteenBitRamps(3000, 3);
    if (const auto code = t::PeCode(3000))
        mixed.insert(mixed.end(), code->begin(), code->end());
    AddSeed(compressor, mixed);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    Bytes block;
    std::size_t out_size;
    if (data[0] & 1) {
        const Seed& seed = Seeds()[(data[0] >> 1) % Seeds().size()];
        block = seed.block;
        out_size = seed.size;
        for (std::size_t i = 1; i + 2 < size; i += 3) {
            const std::size_t at = (data[i] | std::size_t{data[i + 1]} << 8) % block.size();
            block[at] ^= std::byte{data[i + 2]};
        }
    } else {
        out_size = 1 + (data[1] | std::size_t{data[2]} << 8);
        const auto* first = reinterpret_cast<const std::byte*>(data + 3);
        block.assign(first, first + (size - 3));
    }

    Bytes ours(out_size + 2 * kGuard, std::byte{0xA5});
    const bool ok =
        korvanthelm::lzms::DecodeBlock(block, std::span(ours).subspan(kGuard, out_size));
    for (std::size_t i = 0; i < kGuard; ++i) {
        if (ours[i] != std::byte{0xA5} || ours[kGuard + out_size + i] != std::byte{0xA5})
            std::abort();
    }
    // wimlib itself crashes on outputs below 3 bytes.
    if (out_size >= 3) {
        Bytes theirs(out_size);
        const bool their_ok = Reference().Decompress(block, theirs);
        if (ok != their_ok)
            std::abort();
        if (ok && !std::equal(theirs.begin(), theirs.end(), ours.begin() + kGuard))
            std::abort();
    }
    return 0;
}
