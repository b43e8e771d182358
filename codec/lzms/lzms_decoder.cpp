// LZMS, the block format behind COMPRESS_ALGORITHM_LZMS
// ======================================================
//
// A block is a buffer of m bytes (m even, m >= 4) that decodes to exactly n
// bytes; n is known from outside (the container) and nothing in the block
// says where it ends. Every block starts from fresh state: no history, no
// statistics carried over.
//
// Two bit streams share the buffer, read from opposite ends:
//  * the forward stream: 16-bit little-endian units from the front, feeding
//    a range decoder that yields the "decision" bits;
//  * the backward stream: 16-bit little-endian units from the back (the last
//    unit first), each read from its bit 15 down to bit 0, carrying Huffman
//    codewords and verbatim extra bits.
// Either stream reads zeros once it runs out, and the two may meet or cross
// at the end: the encoder flushes its range coder with spare units, and
// neither Windows nor wimlib checks where the streams meet. Only a wrong
// item ("match reaches before the block", "match runs past the end") makes
// a block invalid.
//
// The range decoder keeps `range` and `code` (32 bits; code starts as the
// first two forward units, range as 0xFFFFFFFF). A decision bit is coded with
// a probability entry: a 64-bit history of the last 64 bits coded with it
// and the number of zeros in that history, which out of 64 is the chance of
// a 0 (clamped to 1..63). Before each bit the range is renormalised by 16
// bits when it has fallen below 2^16; then bound = (range >> 6) * p splits
// the range into a 0 part and a 1 part. Entries are grouped in eight
// classes, each indexed by its own last k decided bits (k = 4 for the
// literal/match choice, 5 for LZ/delta, 6 for the rest).
//
// The backward stream holds five adaptive Huffman codes: literals (256
// symbols), LZ offset slots and delta offset slots (as many symbols as there
// are offset slots for a block of n bytes), length slots (54) and delta
// powers (8). Each starts with all frequencies 1, counts what it decodes and
// is rebuilt from the counts after every 1024 (literal, offset codes) or 512
// (length, power) symbols; after a rebuild every count becomes
// (count >> 1) + 1. The construction, tie-breaks included, is in
// adaptive_huffman.h; both sides must derive identical codes.
//
// Items, until n bytes exist:
//   literal         one byte from the literal code;
//   LZ match        copy `length` bytes from `offset` bytes back;
//   delta match     out[x] = out[x - off] + out[x - span] - out[x - off - span]
//                   for `length` bytes, with span = 2^power and
//                   off = raw_offset << power: a byte-wise "same change as
//                   one stride earlier", good for tables of 8/16/32-bit
//                   numbers.
// Offsets and lengths are coded as a slot from their Huffman code plus the
// slot's verbatim extra bits (slot_tables.h). An LZ or delta match either
// codes its offset (and power) explicitly or names one of the last three
// distinct ones used by its kind (two move-to-front queues of four). A
// repeat index skips the front entry when the previous item was of the same
// kind: that entry is the offset just used, and the encoder would have
// extended that match instead.
//
// Finally the finished block goes through the x86 filter (x86_filter.h).
//
// Where the real data goes beyond the description: Windows' buffers hold at
// most 64 MiB per block (the format allows 1 GiB), so larger sizes are
// refused; no block of 2 bytes ever occurs in practice (offset codes with
// a single symbol), but such blocks are decoded consistently anyway.

#include "codec/lzms/lzms_decoder.h"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "codec/lzms/adaptive_huffman.h"
#include "codec/lzms/probability_entry.h"
#include "codec/lzms/slot_tables.h"
#include "codec/lzms/x86_filter.h"
#include "format/little_endian.h"

namespace korvanthelm::lzms {
namespace {

using format::LoadLittleEndian16;
using format::LoadLittleEndian64;

// ---- Forward stream: range decoder and probability entries -------------

class RangeDecoder {
  public:
    explicit RangeDecoder(std::span<const std::byte> in)
        : next_(in.data()), end_(in.data() + in.size()) {
        code_ = NextUnit() << 16;
        code_ |= NextUnit();
    }

    template <unsigned kStateBits>
    std::uint32_t Decide(DecisionClass<kStateBits>& decision) {
        ProbabilityEntry& entry = decision.entries[decision.state];
        // One step always suffices: a bit leaves at least 1/64 of a range
        // of >= 2^16, so range is >= 2^10 here and >= 2^26 after the shift.
        if (range_ < 0x10000) {
            range_ <<= 16;
            code_ = code_ << 16 | NextUnit();
        }
        const std::uint32_t bound = (range_ >> 6) * entry.Probability();
        std::uint32_t bit;
        if (code_ < bound) {
            range_ = bound;
            bit = 0;
        } else {
            range_ -= bound;
            code_ -= bound;
            bit = 1;
        }
        entry.Update(bit);
        decision.state = DecisionClass<kStateBits>::Next(decision.state, bit);
        return bit;
    }

  private:
    // Past the end of the buffer the forward stream reads as zeros.
    std::uint32_t NextUnit() {
        if (end_ - next_ < 2)
            return 0;
        const std::uint32_t unit = LoadLittleEndian16(next_);
        next_ += 2;
        return unit;
    }

    const std::byte* next_;
    const std::byte* end_;
    std::uint32_t range_ = 0xFFFFFFFF;
    std::uint32_t code_ = 0;
};

// ---- Backward stream: bit reader ----------------------------------------

// Bits wait left-aligned in a 64-bit word. Refill() tops the word up to at
// least 49 valid bits, enough for one codeword (15) plus its extra bits (30).
// Input policy: units are taken from the end towards the start; once the
// buffer is exhausted the stream yields zero bits, forever, as the format
// requires. The bits below the valid ones are always the next bits of the
// stream or zero, so a refill may OR the same bits in again.
class BackwardBitReader {
  public:
    explicit BackwardBitReader(std::span<const std::byte> in)
        : begin_(in.data()), unread_(in.size()) {}

    void Refill() {
        if (valid_ > 48)
            return;
        if (unread_ >= 8) [[likely]] {
            // Reading the 8 bytes before the cursor as one little-endian
            // word puts the next unit in its top 16 bits, the one after it
            // below, and so on: exactly the stream order.
            buffer_ |= LoadLittleEndian64(begin_ + unread_ - 8) >> valid_;
            const unsigned units = (64 - valid_) >> 4;
            unread_ -= 2 * units;
            valid_ += 16 * units;
            return;
        }
        while (valid_ <= 48) {
            std::uint64_t unit = 0;
            if (unread_ >= 2) {
                unread_ -= 2;
                unit = LoadLittleEndian16(begin_ + unread_);
            }
            buffer_ |= unit << (48 - valid_);
            valid_ += 16;
        }
    }

    // 1 <= n <= 32, n <= valid bits.
    std::uint32_t Peek(unsigned n) const { return static_cast<std::uint32_t>(buffer_ >> (64 - n)); }
    void Skip(unsigned n) {
        buffer_ <<= n;
        valid_ -= n;
    }
    // 0 <= n <= 32, n <= valid bits. (Shifting by 1 first keeps n == 0 defined.)
    std::uint32_t ReadBits(unsigned n) {
        const auto bits = static_cast<std::uint32_t>((buffer_ >> 1) >> (63 - n));
        Skip(n);
        return bits;
    }

  private:
    const std::byte* begin_;
    std::size_t unread_;  // bytes [0, unread_) not yet taken
    std::uint64_t buffer_ = 0;
    unsigned valid_ = 0;
};

// ---- Copies --------------------------------------------------------------

// Copies `length` bytes from `offset` bytes back to out[pos...]; the caller
// has checked 1 <= offset <= pos and pos + length <= size.
void CopyLzMatch(std::uint8_t* out, std::size_t pos, std::size_t offset, std::size_t length,
                 std::size_t size) {
    std::uint8_t* dst = out + pos;
    const std::uint8_t* src = dst - offset;
    std::uint8_t* const end = dst + length;
    if (offset >= 8 && size - pos - length >= 7) [[likely]] {
        // 8 bytes at a time may write up to 7 bytes past the match, still
        // inside the block and overwritten later; offset >= 8 means every
        // word read is already final.
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
        return;
    }
    if (offset == 1) {
        std::memset(dst, dst[-1], length);
        return;
    }
    while (dst < end)
        *dst++ = *src++;
}

// The delta match rule, byte by byte; the caller has checked
// raw_offset << power plus 2^power <= pos and pos + length <= size.
void CopyDeltaMatch(std::uint8_t* out, std::size_t pos, std::size_t off, std::size_t span,
                    std::size_t length) {
    std::uint8_t* dst = out + pos;
    std::uint8_t* const end = dst + length;
    for (; dst < end; ++dst) {
        *dst = static_cast<std::uint8_t>(dst[-static_cast<std::ptrdiff_t>(off)] +
                                         dst[-static_cast<std::ptrdiff_t>(span)] -
                                         dst[-static_cast<std::ptrdiff_t>(off + span)]);
    }
}

// ---- The decoder ----------------------------------------------------------

// Primary decode tables of 2^10 entries (4 KiB each): one lookup for the
// short codewords that carry most symbols, a subtable only beyond 10 bits.
constexpr unsigned kLiteralTableBits = 10;
constexpr unsigned kOffsetTableBits = 10;
constexpr unsigned kLengthTableBits = 10;
constexpr unsigned kPowerTableBits = 7;  // 8 symbols: codewords of at most 7 bits
constexpr std::size_t kMaxOffsetSymbols = NumOffsetSlots(kMaxBlockSize);
constexpr std::size_t kNumPowers = 8;
constexpr std::size_t kQueueLength = 4;  // 3 addressable entries + the one skipped after a repeat

enum class Item { kLiteral, kLz, kDelta };

// The product's decoder counts nothing; the compiler drops these calls.
struct NoStatistics {
    void Literal() {}
    void ExplicitLz() {}
    void RepeatLz(std::uint32_t) {}
    void ExplicitDelta() {}
    void RepeatDelta(std::uint32_t) {}
    void X86(std::size_t) {}
};

struct CountStatistics {
    BlockStatisticsForTesting* stats;
    void Literal() { ++stats->literals; }
    void ExplicitLz() { ++stats->explicit_lz; }
    void RepeatLz(std::uint32_t position) { ++stats->repeat_lz[position]; }
    void ExplicitDelta() { ++stats->explicit_delta; }
    void RepeatDelta(std::uint32_t position) { ++stats->repeat_delta[position]; }
    void X86(std::size_t operands) { stats->x86_operands_restored += operands; }
};

// About 325 KiB, 256 KiB of it the x86 filter's table; allocated once per block.
struct Decoder {
    DecisionClass<4> main;   // literal or match
    DecisionClass<5> match;  // LZ or delta
    DecisionClass<6> lz;     // explicit or repeat offset
    DecisionClass<6> lz_rep[2];
    DecisionClass<6> delta;  // explicit or repeat (power, offset)
    DecisionClass<6> delta_rep[2];
    AdaptiveHuffmanCode<256, kLiteralTableBits, 1024> literal;
    AdaptiveHuffmanCode<kMaxOffsetSymbols, kOffsetTableBits, 1024> lz_offset;
    AdaptiveHuffmanCode<kNumLengthSlots, kLengthTableBits, 512> length;
    AdaptiveHuffmanCode<kMaxOffsetSymbols, kOffsetTableBits, 1024> delta_offset;
    AdaptiveHuffmanCode<kNumPowers, kPowerTableBits, 512> delta_power;
    X86FilterState x86;

    template <typename Statistics>
    bool Decode(std::span<const std::byte> in, std::span<std::byte> out_span,
                Statistics statistics);
};

// A repeat index: 0, 1 or 2 from up to two decisions.
template <unsigned kStateBits>
std::uint32_t DecideRepeatIndex(RangeDecoder& range, DecisionClass<kStateBits>* rep) {
    if (range.Decide(rep[0]) == 0)
        return 0;
    return 1 + range.Decide(rep[1]);
}

template <typename Statistics>
bool Decoder::Decode(std::span<const std::byte> in, std::span<std::byte> out_span,
                     Statistics statistics) {
    const std::size_t size = out_span.size();
    const std::size_t offset_slots = NumOffsetSlots(size);
    literal.Reset(256);
    length.Reset(kNumLengthSlots);
    delta_power.Reset(kNumPowers);
    // A 1-byte block has no offset codes; its only item must be a literal.
    if (offset_slots != 0) {
        lz_offset.Reset(offset_slots);
        delta_offset.Reset(offset_slots);
    }

    RangeDecoder range(in);
    BackwardBitReader bits(in);
    bool bad_code = false;  // a rebuild failed; the block is rejected at its end

    std::uint32_t lz_queue[kQueueLength] = {1, 2, 3, 4};
    std::uint32_t power_queue[kQueueLength] = {0, 0, 0, 0};
    std::uint32_t raw_queue[kQueueLength] = {1, 2, 3, 4};
    Item previous = Item::kLiteral;

    std::uint8_t* const out = reinterpret_cast<std::uint8_t*>(out_span.data());
    std::size_t pos = 0;
    while (pos < size) {
        if (range.Decide(main) == 0) {
            bits.Refill();
            out[pos++] = static_cast<std::uint8_t>(literal.Decode(bits, &bad_code));
            previous = Item::kLiteral;
            statistics.Literal();
            continue;
        }
        // Every match reaches back at least one byte.
        if (pos == 0) [[unlikely]]
            return false;

        if (range.Decide(match) == 0) {
            std::uint32_t offset;
            if (range.Decide(lz) == 0) {
                bits.Refill();
                const std::uint32_t slot = lz_offset.Decode(bits, &bad_code);
                offset = kOffsetSlots.base[slot] + bits.ReadBits(kOffsetSlots.extra_bits[slot]);
                for (std::size_t i = kQueueLength - 1; i > 0; --i)
                    lz_queue[i] = lz_queue[i - 1];
                statistics.ExplicitLz();
            } else {
                const std::uint32_t index =
                    DecideRepeatIndex(range, lz_rep) + (previous == Item::kLz ? 1 : 0);
                statistics.RepeatLz(index);
                offset = lz_queue[index];
                for (std::size_t i = index; i > 0; --i)
                    lz_queue[i] = lz_queue[i - 1];
            }
            lz_queue[0] = offset;

            bits.Refill();
            const std::uint32_t slot = length.Decode(bits, &bad_code);
            const std::uint32_t length_value =
                kLengthSlots.base[slot] + bits.ReadBits(kLengthSlots.extra_bits[slot]);
            if (offset > pos || length_value > size - pos) [[unlikely]]
                return false;
            CopyLzMatch(out, pos, offset, length_value, size);
            pos += length_value;
            previous = Item::kLz;
            continue;
        }

        std::uint32_t power;
        std::uint32_t raw_offset;
        if (range.Decide(delta) == 0) {
            bits.Refill();
            power = delta_power.Decode(bits, &bad_code);
            bits.Refill();
            const std::uint32_t slot = delta_offset.Decode(bits, &bad_code);
            raw_offset = kOffsetSlots.base[slot] + bits.ReadBits(kOffsetSlots.extra_bits[slot]);
            for (std::size_t i = kQueueLength - 1; i > 0; --i) {
                power_queue[i] = power_queue[i - 1];
                raw_queue[i] = raw_queue[i - 1];
            }
            statistics.ExplicitDelta();
        } else {
            const std::uint32_t index =
                DecideRepeatIndex(range, delta_rep) + (previous == Item::kDelta ? 1 : 0);
            statistics.RepeatDelta(index);
            power = power_queue[index];
            raw_offset = raw_queue[index];
            for (std::size_t i = index; i > 0; --i) {
                power_queue[i] = power_queue[i - 1];
                raw_queue[i] = raw_queue[i - 1];
            }
        }
        power_queue[0] = power;
        raw_queue[0] = raw_offset;

        bits.Refill();
        const std::uint32_t slot = length.Decode(bits, &bad_code);
        const std::uint32_t length_value =
            kLengthSlots.base[slot] + bits.ReadBits(kLengthSlots.extra_bits[slot]);
        // 64-bit: raw offsets reach 2^31 and powers 7, so this cannot wrap.
        const std::uint64_t span = std::uint64_t{1} << power;
        const std::uint64_t off = std::uint64_t{raw_offset} << power;
        if (off + span > pos || length_value > size - pos) [[unlikely]]
            return false;
        CopyDeltaMatch(out, pos, static_cast<std::size_t>(off), static_cast<std::size_t>(span),
                       length_value);
        pos += length_value;
        previous = Item::kDelta;
    }
    if (bad_code)
        return false;
    statistics.X86(UndoX86Translation(out_span, x86));
    return true;
}

template <typename Statistics>
bool DecodeWith(std::span<const std::byte> in, std::span<std::byte> out, Statistics statistics) {
    if (out.empty() || out.size() > kMaxBlockSize)
        return false;
    // The block is a sequence of 16-bit units, two of which start the range decoder.
    if (in.size() < 4 || in.size() % 2 != 0)
        return false;
    const std::unique_ptr<Decoder> decoder(new (std::nothrow) Decoder);
    if (!decoder)
        return false;
    return decoder->Decode(in, out, statistics);
}

}  // namespace

bool DecodeBlock(std::span<const std::byte> in, std::span<std::byte> out) {
    return DecodeWith(in, out, NoStatistics{});
}

std::size_t WorkingMemoryForTesting() {
    return sizeof(Decoder);
}

bool DecodeBlockForTesting(std::span<const std::byte> in, std::span<std::byte> out,
                           BlockStatisticsForTesting& stats) {
    stats = {};
    return DecodeWith(in, out, CountStatistics{&stats});
}

}  // namespace korvanthelm::lzms
