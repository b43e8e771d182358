// The adaptive Huffman codes of an LZMS block. Both sides start every symbol
// at frequency 1, count each decoded symbol, and after every `kPeriod`
// symbols derive a new canonical code from the counts (then halve them), so
// the decoder must reproduce the encoder's code construction exactly,
// tie-breaks included. Codewords are at most 15 bits.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::lzms {

inline constexpr unsigned kMaxCodewordBits = 15;

// Decode table layout (one u32 per entry): the top `table_bits` bits of the
// bit stream index the primary table. An entry holds either
//   symbol << 16 | codeword length                       (length <= table_bits)
//   subtable start << 16 | kSubtableFlag | subtable bits  (longer codewords)
// and a subtable entry holds symbol << 16 | (length - table_bits).
inline constexpr std::uint32_t kSubtableFlag = 0x8000;

// Entries a decode table can need for `num_symbols` symbols: the primary
// table plus subtables. A subtable of 2^s entries covers a complete subtree
// of depth s, which has at least s + 1 leaves, and 2^s / (s + 1) grows with
// s, so the worst case spends the symbols on the deepest subtables possible
// (plus one partial one).
constexpr std::size_t DecodeTableSize(std::size_t num_symbols, unsigned table_bits) {
    const unsigned deepest = kMaxCodewordBits - table_bits;
    return (std::size_t{1} << table_bits) +
           (num_symbols / (deepest + 1) + 1) * (std::size_t{1} << deepest);
}

// Derives the code for `freqs` (every frequency >= 1, at most 799 symbols)
// and writes its decode table. Code construction: symbols ordered by
// (frequency, symbol number); Huffman tree from two queues (leaves in that
// order, inner nodes in creation order, a leaf wins a tie with an inner
// node); the leaf count per depth is then handed out along the same order,
// longest codewords first; canonical codewords, ascending symbol number
// within a length. A single symbol gets the 1-bit codeword 0.
// false: a codeword would exceed 15 bits (possible only on hostile data), a
// frequency is 2^22 or more, or the table would not fit; `table` is left
// unchanged.
bool BuildDecodeTable(std::span<const std::uint32_t> freqs, unsigned table_bits,
                      std::span<std::uint32_t> table);

// The encoder's side of the same construction: the length and the canonical
// codeword (right-aligned, sent most significant bit first) of each of the
// freqs.size() symbols, into the first freqs.size() elements of `lengths`
// and `codewords`. false: as for BuildDecodeTable, or a span is too short;
// the outputs are then unspecified.
bool BuildCanonicalCode(std::span<const std::uint32_t> freqs, std::span<std::uint8_t> lengths,
                        std::span<std::uint16_t> codewords);

// The bit source a code decodes from: it must hold at least 15 valid bits,
// left-aligned in a 64-bit word (see BackwardBitReader in lzms_decoder.cpp).
template <typename BitReader>
concept HuffmanBitSource = requires(BitReader r, unsigned n) {
    { r.Peek(n) } -> std::convertible_to<std::uint32_t>;
    r.Skip(n);
};

template <std::size_t kCapacity, unsigned kTableBits, unsigned kPeriod>
class AdaptiveHuffmanCode {
  public:
    static_assert(kTableBits >= 1 && kTableBits <= kMaxCodewordBits);

    // Starts the code for a new block with `num_symbols` (1..kCapacity)
    // symbols. false: num_symbols out of range.
    bool Reset(std::size_t num_symbols) {
        if (num_symbols == 0 || num_symbols > kCapacity)
            return false;
        num_symbols_ = num_symbols;
        freqs_.fill(1);
        countdown_ = kPeriod;
        // All frequencies equal: lengths differ by at most one, never near 15.
        return BuildDecodeTable(Frequencies(), kTableBits, table_);
    }

    // Decodes one symbol (< num_symbols) and adapts. A failed rebuild keeps
    // the previous code and is remembered in `*failed`, so the hot path needs
    // no error branch; the block is rejected at its end.
    template <HuffmanBitSource BitReader>
    std::uint32_t Decode(BitReader& bits, bool* failed) {
        std::uint32_t entry = table_[bits.Peek(kTableBits)];
        if (entry & kSubtableFlag) [[unlikely]] {
            bits.Skip(kTableBits);
            entry = table_[(entry >> 16) + bits.Peek(entry & 0xF)];
        }
        bits.Skip(entry & 0x1F);
        const std::uint32_t symbol = entry >> 16;
        ++freqs_[symbol];
        if (--countdown_ == 0) [[unlikely]] {
            Rebuild(failed);
        }
        return symbol;
    }

  private:
    std::span<const std::uint32_t> Frequencies() const {
        return std::span<const std::uint32_t>(freqs_.data(), num_symbols_);
    }

    void Rebuild(bool* failed) {
        // The new code comes from the counts as they stand; the halving only
        // shapes the next one.
        if (!BuildDecodeTable(Frequencies(), kTableBits, table_))
            *failed = true;
        for (std::size_t i = 0; i < num_symbols_; ++i)
            freqs_[i] = (freqs_[i] >> 1) + 1;
        countdown_ = kPeriod;
    }

    std::size_t num_symbols_ = 0;
    unsigned countdown_ = 0;
    std::array<std::uint32_t, kCapacity> freqs_{};
    std::array<std::uint32_t, DecodeTableSize(kCapacity, kTableBits)> table_{};
};

}  // namespace korvanthelm::lzms
