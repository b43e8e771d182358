// What coding a bit or a symbol costs, in 1/64 bits, for the parser's
// choices. Integer only, computed at compile time: the same table, and so
// the same choices, with every compiler.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace korvanthelm::lzms {

inline constexpr unsigned kCostShift = 6;  // 64 cost units per bit
inline constexpr std::uint32_t kBitCost = 1u << kCostShift;

// log2(x) in 16.16 fixed point, x >= 1: the integer part from the highest
// set bit, then one fraction bit per squaring of the mantissa.
constexpr std::uint32_t Log2Fixed(std::uint32_t x) {
    const unsigned whole = 31 - static_cast<unsigned>(std::countl_zero(x));
    std::uint64_t m = std::uint64_t{x} << (31 - whole);  // mantissa in [2^31, 2^32)
    std::uint32_t fraction = 0;
    for (int bit = 15; bit >= 0; --bit) {
        m = (m * m) >> 31;
        if (m >= (std::uint64_t{1} << 32)) {
            m >>= 1;
            fraction |= 1u << bit;
        }
    }
    return whole << 16 | fraction;
}

// The cost of a decision bit whose probability is p/64 (p = 1..63).
inline constexpr std::array<std::uint32_t, 64> kProbabilityCost = [] {
    std::array<std::uint32_t, 64> cost{};
    for (std::uint32_t p = 1; p < 64; ++p) {
        const std::uint32_t bits = (6u << 16) - Log2Fixed(p);  // -log2(p / 64), 16.16
        cost[p] = (bits + (1u << (15 - kCostShift))) >> (16 - kCostShift);
    }
    cost[0] = cost[1];
    return cost;
}();

static_assert(Log2Fixed(1) == 0 && Log2Fixed(2) == 1u << 16 && Log2Fixed(64) == 6u << 16);
static_assert(kProbabilityCost[32] == kBitCost && kProbabilityCost[16] == 2 * kBitCost);

}  // namespace korvanthelm::lzms
