#include "tools/selftest/compressor_check.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/container/decode_container.h"
#include "codec/lzms/lzms_encoder.h"
#include "format/compression_container.h"
#include "package/compression_api.h"

namespace korvanthelm::selftest {
namespace {

constexpr char kName[] = "our LZMS encoder's blocks, 4 MiB both ways";
constexpr std::size_t kSampleSize = std::size_t{4} << 20;

// 64 KiB pieces in turn: text lines, x86 code with calls and jumps (the
// LZMS x86 filter's work), and noise that does not shrink.
std::vector<std::byte> Sample() {
    std::vector<std::byte> sample(kSampleSize);
    std::uint32_t state = 0x2545F491u;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        unsigned char byte = 0;
        switch ((i >> 16) % 3) {
            case 0:
                byte = static_cast<unsigned char>("launcher/lib/library.jar\n"[i % 25]);
                break;
            case 1:
                byte = i % 5 == 0 ? ((i / 5) % 2 == 0 ? 0xE8 : 0xE9)
                                  : static_cast<unsigned char>((i * 7) >> 3);
                break;
            default:
                byte = static_cast<unsigned char>(state);
        }
        sample[i] = std::byte{byte};
    }
    return sample;
}

}  // namespace

CheckLine CheckEncoderBlocks() {
    const std::vector<std::byte> sample = Sample();
    const std::vector<std::byte> container =
        format::WriteContainer(sample, format::kLzmsChunkSize,
                               [](std::span<const std::byte> chunk, std::span<std::byte> out) {
                                   return lzms::EncodeBlock(chunk, out);
                               });
    const std::optional<format::ContainerLayout> layout = format::ParseContainer(container);
    if (!layout) {
        return {kName, Outcome::kFailed, "the framed blocks are no valid buffer"};
    }
    if (layout->chunks.empty() || layout->chunks.front().stored) {
        return {kName, Outcome::kFailed, "the encoder shrank nothing"};
    }
    const std::string sizes =
        std::to_string(sample.size()) + " bytes to " + std::to_string(container.size());
    std::vector<std::byte> decoded(sample.size());
    if (!codec::DecodeContainerChunks(*layout, decoded) || decoded != sample) {
        return {kName, Outcome::kFailed, sizes + ": the built-in decoder does not give it back"};
    }
    std::vector<std::byte> by_system(sample.size());
    const CompressionApi api = LoadCompressionApi();
    if (!api.complete()) {
        return {kName, Outcome::kNotCheckable,
                sizes +
                    ": the built-in decoder gives it back; System32's cabinet.dll has no "
                    "Compression API decompressor (Windows before 8, Wine)"};
    }
    const SystemDecompression system = DecompressWithSystem(api, container, by_system);
    if (!system.Filled(sample.size()) || by_system != sample) {
        return {kName, Outcome::kFailed,
                sizes + ": the system's decompressor does not give it back (" +
                    ErrorText(system.error) + ")"};
    }
    return {kName, Outcome::kPassed,
            sizes + "; built-in decoder and system decompressor give it back"};
}

}  // namespace korvanthelm::selftest
