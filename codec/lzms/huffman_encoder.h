// The encoder's side of LZMS's adaptive Huffman codes: the same counting and
// the same rebuilds as AdaptiveHuffmanCode (adaptive_huffman.h), with
// codewords to write instead of a table to read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/lzms/adaptive_huffman.h"
#include "codec/lzms/output_streams.h"

namespace korvanthelm::lzms {

template <std::size_t kCapacity, unsigned kPeriod>
class AdaptiveHuffmanEncoder {
  public:
    // Starts the code for a new block with `num_symbols` (1..kCapacity) symbols.
    // false: num_symbols out of range.
    bool Reset(std::size_t num_symbols) {
        if (num_symbols == 0 || num_symbols > kCapacity)
            return false;
        num_symbols_ = num_symbols;
        freqs_.fill(1);
        countdown_ = kPeriod;
        return Build();
    }

    // Writes `symbol`'s codeword and adapts exactly as the decoder will after
    // reading it. A failed rebuild (impossible for codes the format's halving
    // keeps within 15 bits) is remembered in Failed().
    void Encode(std::uint32_t symbol, BackwardBitWriter& bits) {
        bits.Put(codewords_[symbol], lengths_[symbol]);
        ++freqs_[symbol];
        if (--countdown_ == 0) [[unlikely]] {
            if (!Build())
                failed_ = true;
            for (std::size_t i = 0; i < num_symbols_; ++i)
                freqs_[i] = (freqs_[i] >> 1) + 1;
            countdown_ = kPeriod;
        }
    }

    // The current codeword length of each symbol: the parser's cost in bits.
    std::span<const std::uint8_t> Lengths() const {
        return std::span<const std::uint8_t>(lengths_.data(), num_symbols_);
    }
    // Symbols left until the next rebuild.
    unsigned Countdown() const { return countdown_; }
    bool Failed() const { return failed_; }

  private:
    bool Build() {
        return BuildCanonicalCode(std::span<const std::uint32_t>(freqs_.data(), num_symbols_),
                                  lengths_, codewords_);
    }

    std::size_t num_symbols_ = 0;
    unsigned countdown_ = 0;
    bool failed_ = false;
    std::array<std::uint32_t, kCapacity> freqs_{};
    std::array<std::uint8_t, kCapacity> lengths_{};
    std::array<std::uint16_t, kCapacity> codewords_{};
};

}  // namespace korvanthelm::lzms
