// The two bit streams of an LZMS block as the encoder writes them into the
// caller's buffer: range-coded units from the front, the backward stream's
// units from the back, moved together when the block is finished. Running
// out of room is remembered, not thrown: the block then "did not fit".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "codec/lzms/probability_entry.h"

namespace korvanthelm::lzms {

class BlockOutput {
  public:
    explicit BlockOutput(std::span<std::byte> out) : data_(out.data()), capacity_(out.size() / 2) {}

    void PutFront(std::uint32_t unit) {
        if (front_ + back_ >= capacity_) {
            overflow_ = true;
            return;
        }
        Store(front_++, unit);
    }
    // The first unit put here is the last unit of the block: the decoder
    // reads the backward stream from the end.
    void PutBack(std::uint32_t unit) {
        if (front_ + back_ >= capacity_) {
            overflow_ = true;
            return;
        }
        Store(capacity_ - 1 - back_++, unit);
    }

    // The block's size in bytes with the backward units moved right behind
    // the forward ones; 0 if it did not fit. Windows' and wimlib's encoders
    // never make a block of less than 10 bytes; a smaller one gets zero
    // units between the streams, where each reader finds the zeros it
    // expects past its own stream's end.
    std::size_t Finish() {
        constexpr std::size_t kMinUnits = 5;
        const std::size_t padding = front_ + back_ < kMinUnits ? kMinUnits - front_ - back_ : 0;
        if (overflow_ || front_ + back_ + padding > capacity_)
            return 0;
        std::memmove(data_ + 2 * (front_ + padding), data_ + 2 * (capacity_ - back_), 2 * back_);
        std::memset(data_ + 2 * front_, 0, 2 * padding);
        return 2 * (front_ + padding + back_);
    }

  private:
    void Store(std::size_t index, std::uint32_t unit) {
        data_[2 * index] = static_cast<std::byte>(unit);
        data_[2 * index + 1] = static_cast<std::byte>(unit >> 8);
    }

    std::byte* data_;
    std::size_t capacity_;  // in 16-bit units
    std::size_t front_ = 0;
    std::size_t back_ = 0;
    bool overflow_ = false;
};

// The decoder's range decoder run forwards: 32-bit range, bound =
// (range >> 6) * p, renormalised by 16 bits before a decision whenever the
// range has fallen below 2^16. `low_` holds one bit more than the range,
// the carry; units that a carry could still change wait in cache_ and
// pending_ (a run of 0xFFFF units) until it is known.
class RangeEncoder {
  public:
    explicit RangeEncoder(BlockOutput& out) : out_(out) {}

    template <unsigned kStateBits>
    void Encode(DecisionClass<kStateBits>& decision, std::uint32_t bit) {
        ProbabilityEntry& entry = decision.entries[decision.state];
        if (range_ < 0x10000) {
            range_ <<= 16;
            ShiftLow();
        }
        const std::uint32_t bound = (range_ >> 6) * entry.Probability();
        if (bit == 0) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        entry.Update(bit);
        decision.state = DecisionClass<kStateBits>::Next(decision.state, bit);
    }

    // Sends the rest of `low_`, and one unit more: the decoder reads two
    // units at its start and one per renormalisation, so three would do, but
    // Windows' and wimlib's encoders send four, and a decoder that reads a
    // unit ahead then still finds it.
    void Flush() {
        for (int i = 0; i < 4; ++i)
            ShiftLow();
    }

  private:
    void ShiftLow() {
        if (static_cast<std::uint32_t>(low_) < 0xFFFF0000u || (low_ >> 32) != 0) {
            const auto carry = static_cast<std::uint32_t>(low_ >> 32);
            // The very first unit stands for the bits above the initial
            // range, which are zero and never receive a carry: not sent.
            if (started_)
                out_.PutFront((cache_ + carry) & 0xFFFF);
            started_ = true;
            for (; pending_ > 0; --pending_)
                out_.PutFront((0xFFFF + carry) & 0xFFFF);
            cache_ = static_cast<std::uint32_t>(low_ >> 16) & 0xFFFF;
        } else {
            ++pending_;
        }
        low_ = (low_ & 0xFFFF) << 16;
    }

    BlockOutput& out_;
    std::uint64_t low_ = 0;
    std::uint32_t range_ = 0xFFFFFFFF;
    std::uint32_t cache_ = 0;
    std::uint64_t pending_ = 0;
    bool started_ = false;
};

// Huffman codewords and verbatim bits, most significant bit first, packed
// into 16-bit units that go to the back of the block.
class BackwardBitWriter {
  public:
    explicit BackwardBitWriter(BlockOutput& out) : out_(out) {}

    // 0 <= n <= 32; `value` < 2^n.
    void Put(std::uint32_t value, unsigned n) {
        bits_ = (bits_ << n) | value;
        count_ += n;
        while (count_ >= 16) {
            count_ -= 16;
            out_.PutBack(static_cast<std::uint32_t>(bits_ >> count_) & 0xFFFF);
        }
    }

    // The last partial unit, padded with zeros (what the decoder reads past
    // the end anyway).
    void Flush() {
        if (count_ > 0)
            out_.PutBack(static_cast<std::uint32_t>(bits_ << (16 - count_)) & 0xFFFF);
        count_ = 0;
    }

  private:
    BlockOutput& out_;
    std::uint64_t bits_ = 0;  // the low count_ bits are waiting
    unsigned count_ = 0;
};

}  // namespace korvanthelm::lzms
