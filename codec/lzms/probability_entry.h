// The adaptive probabilities behind LZMS's range-coded decisions, shared by
// the decoder and the encoder: both must adapt them identically.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvanthelm::lzms {

// The last 64 bits coded with one entry and the number of zeros among them,
// which out of 64 is the chance of the next bit being 0.
struct ProbabilityEntry {
    // Newest bit in bit 0. The initial history has 48 zeros in 64 bits, a
    // mild bias towards 0 that both sides start from.
    std::uint64_t history = 0x0000000055555555;
    std::uint32_t zeros = 48;

    std::uint32_t Probability() const {
        // Never certain either way: 0 and 64 are used as 1 and 63.
        return zeros + (zeros == 0) - (zeros == 64);
    }
    void Update(std::uint32_t bit) {
        zeros += static_cast<std::uint32_t>(history >> 63) - bit;  // the leaving bit, the new bit
        history = history << 1 | bit;
    }
};

// One class of decisions: its entries, indexed by the class's own last
// kStateBits decided bits.
template <unsigned kStateBits>
struct DecisionClass {
    static constexpr std::uint32_t kStateMask = (1u << kStateBits) - 1;
    std::uint32_t state = 0;  // the class's last kStateBits bits, newest in bit 0
    std::array<ProbabilityEntry, std::size_t{1} << kStateBits> entries{};

    // The state after `bit` from `state`.
    static std::uint32_t Next(std::uint32_t state, std::uint32_t bit) {
        return ((state << 1) | bit) & kStateMask;
    }
};

}  // namespace korvanthelm::lzms
