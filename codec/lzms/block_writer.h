// Writes the items of one LZMS block (literals, LZ and delta matches, either
// explicit or repeated) while keeping a mirror of all the decoder's state:
// decision classes, the five adaptive Huffman codes and both repeat queues.
// A block is right only if the decoder, replaying the same items, reaches
// the same state at every step; so every item goes through here, and the
// parser reads the state (to price items) but never changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/lzms/huffman_encoder.h"
#include "codec/lzms/output_streams.h"
#include "codec/lzms/probability_entry.h"
#include "codec/lzms/slot_tables.h"

namespace korvanthelm::lzms {

inline constexpr std::size_t kNumPowers = 8;  // delta spans 1..128 bytes
inline constexpr std::size_t kQueueLength = 4;
// Windows' largest block (64 MiB) has this many offset slots.
inline constexpr std::size_t kEncoderOffsetSlots = NumOffsetSlots(std::size_t{1} << 26);

enum class ItemKind : std::uint8_t { kLiteral, kLz, kDelta };

// The decoder's repeat queues (most recent first) and the kind of the item
// before. Right after an LZ match its offset sits at lz[0] but cannot be
// named: repeat indices then start at position 1; likewise for delta.
struct RepeatQueues {
    std::uint32_t lz[kQueueLength] = {1, 2, 3, 4};
    std::uint32_t delta_power[kQueueLength] = {0, 0, 0, 0};
    std::uint32_t delta_raw[kQueueLength] = {1, 2, 3, 4};
    ItemKind previous = ItemKind::kLiteral;

    // The first queue position a repeat can name (0 or 1); the last is this + 2.
    unsigned FirstLz() const { return previous == ItemKind::kLz ? 1u : 0u; }
    unsigned FirstDelta() const { return previous == ItemKind::kDelta ? 1u : 0u; }

    void Literal() { previous = ItemKind::kLiteral; }
    void ExplicitLz(std::uint32_t offset) {
        for (std::size_t i = kQueueLength - 1; i > 0; --i)
            lz[i] = lz[i - 1];
        lz[0] = offset;
        previous = ItemKind::kLz;
    }
    void RepeatLz(unsigned position) {
        const std::uint32_t offset = lz[position];
        for (unsigned i = position; i > 0; --i)
            lz[i] = lz[i - 1];
        lz[0] = offset;
        previous = ItemKind::kLz;
    }
    void ExplicitDelta(std::uint32_t power, std::uint32_t raw) {
        for (std::size_t i = kQueueLength - 1; i > 0; --i) {
            delta_power[i] = delta_power[i - 1];
            delta_raw[i] = delta_raw[i - 1];
        }
        delta_power[0] = power;
        delta_raw[0] = raw;
        previous = ItemKind::kDelta;
    }
    void RepeatDelta(unsigned position) {
        const std::uint32_t power = delta_power[position];
        const std::uint32_t raw = delta_raw[position];
        for (unsigned i = position; i > 0; --i) {
            delta_power[i] = delta_power[i - 1];
            delta_raw[i] = delta_raw[i - 1];
        }
        delta_power[0] = power;
        delta_raw[0] = raw;
        previous = ItemKind::kDelta;
    }
};

// The slot of a length or offset value (value >= 1): the last slot whose
// base is <= value.
std::uint32_t LengthSlot(std::uint32_t length);
std::uint32_t OffsetSlot(std::uint32_t offset);

class BlockWriter {
  public:
    // `block_size` (>= 2) decides the number of offset symbols.
    BlockWriter(std::span<std::byte> out, std::size_t block_size);

    // The caller guarantees what the decoder checks: matches reach no
    // further back than the block's start, and end inside the block;
    // repeat positions lie in [First*(), First*() + 2].
    void Literal(std::uint8_t byte);
    void ExplicitLz(std::uint32_t offset, std::uint32_t length);
    void RepeatLz(unsigned position, std::uint32_t length);
    void ExplicitDelta(std::uint32_t power, std::uint32_t raw_offset, std::uint32_t length);
    void RepeatDelta(unsigned position, std::uint32_t length);

    // The block's size, its bytes at the start of `out`; 0 if it did not fit.
    std::size_t Finish();

    // The state, for pricing items.
    DecisionClass<4> main;   // literal or match
    DecisionClass<5> match;  // LZ or delta
    DecisionClass<6> lz;     // explicit or repeat offset
    DecisionClass<6> lz_rep[2];
    DecisionClass<6> delta;  // explicit or repeat (power, offset)
    DecisionClass<6> delta_rep[2];
    AdaptiveHuffmanEncoder<256, 1024> literal;
    AdaptiveHuffmanEncoder<kEncoderOffsetSlots, 1024> lz_offset;
    AdaptiveHuffmanEncoder<kNumLengthSlots, 512> length;
    AdaptiveHuffmanEncoder<kEncoderOffsetSlots, 1024> delta_offset;
    AdaptiveHuffmanEncoder<kNumPowers, 512> delta_power;
    RepeatQueues queues;

  private:
    void Length(std::uint32_t value);
    template <unsigned kStateBits>
    void RepeatIndex(DecisionClass<kStateBits>* rep, unsigned index);

    BlockOutput output_;
    RangeEncoder range_;
    BackwardBitWriter bits_;
};

}  // namespace korvanthelm::lzms
