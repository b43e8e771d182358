#include "codec/lzms/block_writer.h"

#include <algorithm>
#include <array>

namespace korvanthelm::lzms {
namespace {

// Slots of the values below this come from a table; the rest by search.
constexpr std::uint32_t kDirectOffsets = 1u << 16;

const std::array<std::uint16_t, kDirectOffsets>& DirectOffsetSlots() {
    static const auto table = [] {
        std::array<std::uint16_t, kDirectOffsets> t{};
        std::uint16_t slot = 0;
        for (std::uint32_t v = 1; v < kDirectOffsets; ++v) {
            while (kOffsetSlots.base[slot + 1u] <= v)
                ++slot;
            t[v] = slot;
        }
        return t;
    }();
    return table;
}

}  // namespace

std::uint32_t LengthSlot(std::uint32_t length) {
    const auto first = kLengthSlots.base.begin();
    return static_cast<std::uint32_t>(std::upper_bound(first, first + kNumLengthSlots, length) -
                                      first - 1);
}

std::uint32_t OffsetSlot(std::uint32_t offset) {
    if (offset < kDirectOffsets)
        return DirectOffsetSlots()[offset];
    const auto first = kOffsetSlots.base.begin();
    return static_cast<std::uint32_t>(std::upper_bound(first, first + kMaxOffsetSlots, offset) -
                                      first - 1);
}

BlockWriter::BlockWriter(std::span<std::byte> out, std::size_t block_size)
    : output_(out), range_(output_), bits_(output_) {
    literal.Reset(256);
    length.Reset(kNumLengthSlots);
    delta_power.Reset(kNumPowers);
    const std::size_t offset_slots = NumOffsetSlots(block_size);
    lz_offset.Reset(offset_slots);
    delta_offset.Reset(offset_slots);
}

void BlockWriter::Literal(std::uint8_t byte) {
    range_.Encode(main, 0);
    literal.Encode(byte, bits_);
    queues.Literal();
}

void BlockWriter::Length(std::uint32_t value) {
    const std::uint32_t slot = LengthSlot(value);
    length.Encode(slot, bits_);
    bits_.Put(value - kLengthSlots.base[slot], kLengthSlots.extra_bits[slot]);
}

template <unsigned kStateBits>
void BlockWriter::RepeatIndex(DecisionClass<kStateBits>* rep, unsigned index) {
    range_.Encode(rep[0], index == 0 ? 0 : 1);
    if (index != 0)
        range_.Encode(rep[1], index == 1 ? 0 : 1);
}

void BlockWriter::ExplicitLz(std::uint32_t offset, std::uint32_t length_value) {
    range_.Encode(main, 1);
    range_.Encode(match, 0);
    range_.Encode(lz, 0);
    const std::uint32_t slot = OffsetSlot(offset);
    lz_offset.Encode(slot, bits_);
    bits_.Put(offset - kOffsetSlots.base[slot], kOffsetSlots.extra_bits[slot]);
    Length(length_value);
    queues.ExplicitLz(offset);
}

void BlockWriter::RepeatLz(unsigned position, std::uint32_t length_value) {
    range_.Encode(main, 1);
    range_.Encode(match, 0);
    range_.Encode(lz, 1);
    RepeatIndex(lz_rep, position - queues.FirstLz());
    Length(length_value);
    queues.RepeatLz(position);
}

void BlockWriter::ExplicitDelta(std::uint32_t power, std::uint32_t raw_offset,
                                std::uint32_t length_value) {
    range_.Encode(main, 1);
    range_.Encode(match, 1);
    range_.Encode(delta, 0);
    delta_power.Encode(power, bits_);
    const std::uint32_t slot = OffsetSlot(raw_offset);
    delta_offset.Encode(slot, bits_);
    bits_.Put(raw_offset - kOffsetSlots.base[slot], kOffsetSlots.extra_bits[slot]);
    Length(length_value);
    queues.ExplicitDelta(power, raw_offset);
}

void BlockWriter::RepeatDelta(unsigned position, std::uint32_t length_value) {
    range_.Encode(main, 1);
    range_.Encode(match, 1);
    range_.Encode(delta, 1);
    RepeatIndex(delta_rep, position - queues.FirstDelta());
    Length(length_value);
    queues.RepeatDelta(position);
}

std::size_t BlockWriter::Finish() {
    range_.Flush();
    bits_.Flush();
    if (literal.Failed() || lz_offset.Failed() || length.Failed() || delta_offset.Failed() ||
        delta_power.Failed()) {
        return 0;
    }
    return output_.Finish();
}

}  // namespace korvanthelm::lzms
