// LZMS length and offset slots. A slot names a range of values: the value is
// base[slot] plus extra_bits[slot] verbatim bits, and each range starts where
// the previous one ends (base[i + 1] = base[i] + 2^extra_bits[i], base[0] = 1).
// The format fixes only the extra-bit counts, given here in run-length form;
// the bases are derived from them at compile time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace korvanthelm::lzms {

struct SlotRun {
    std::uint8_t extra_bits;
    std::uint16_t slots;
};

template <std::size_t kSlots>
struct SlotTable {
    // kSlots + 1 bases: the last one is one past the largest value a slot can
    // name, which makes every range's end a plain lookup.
    std::array<std::uint32_t, kSlots + 1> base{};
    std::array<std::uint8_t, kSlots> extra_bits{};
};

template <std::size_t kSlots, std::size_t kRuns>
constexpr SlotTable<kSlots> MakeSlotTable(const std::array<SlotRun, kRuns>& runs) {
    SlotTable<kSlots> table;
    std::size_t slot = 0;
    std::uint64_t base = 1;
    for (const SlotRun& run : runs) {
        for (std::uint16_t i = 0; i < run.slots; ++i) {
            // Throwing in a constant expression is a compile error: the runs
            // must add up to exactly kSlots.
            if (slot >= kSlots)
                throw "more slots in the runs than in the table";
            table.base[slot] = static_cast<std::uint32_t>(base);
            table.extra_bits[slot] = run.extra_bits;
            base += std::uint64_t{1} << run.extra_bits;
            ++slot;
        }
    }
    if (slot != kSlots)
        throw "fewer slots in the runs than in the table";
    if (base > UINT32_MAX)
        throw "a slot's range does not fit 32 bits";
    table.base[kSlots] = static_cast<std::uint32_t>(base);
    return table;
}

inline constexpr std::size_t kNumLengthSlots = 54;
inline constexpr std::size_t kMaxOffsetSlots = 799;

inline constexpr auto kLengthSlots = MakeSlotTable<kNumLengthSlots>(std::array<SlotRun, 13>{{
    {0, 26},
    {1, 4},
    {2, 6},
    {3, 4},
    {4, 5},
    {5, 2},
    {6, 1},
    {7, 1},
    {8, 1},
    {9, 1},
    {10, 1},
    {16, 1},
    {30, 1},
}});

inline constexpr auto kOffsetSlots = MakeSlotTable<kMaxOffsetSlots>(std::array<SlotRun, 21>{{
    {0, 8},   {2, 9},   {3, 7},   {4, 10},  {5, 15},   {6, 15},  {7, 20},
    {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42},  {13, 45}, {14, 60},
    {15, 73}, {16, 80}, {17, 85}, {18, 95}, {19, 105}, {20, 6},  {30, 1},
}});

// The format's limits fall out of the runs; a wrong run would move them.
static_assert(kLengthSlots.base[0] == 1 && kLengthSlots.base[25] == 26);
static_assert(kLengthSlots.base[26] == 27 && kLengthSlots.base[53] == 67755);
static_assert(kLengthSlots.base[kNumLengthSlots] == 1'073'809'579);  // max length + 1
static_assert(kOffsetSlots.base[0] == 1 && kOffsetSlots.base[8] == 9);
static_assert(kOffsetSlots.base[9] == 13 && kOffsetSlots.base[19] == 61);
static_assert(kOffsetSlots.base[kMaxOffsetSlots] == 1'180'427'429);  // max offset + 1

// Both offset codes of a block have one symbol per slot that can name an
// offset inside the block: 1 + slot(n - 1), where slot(v) is the last slot
// whose base is <= v. A block of one byte has no offsets at all.
constexpr std::size_t NumOffsetSlots(std::size_t block_size) {
    if (block_size < 2)
        return 0;
    const auto first = kOffsetSlots.base.begin();
    const auto last = first + kMaxOffsetSlots;  // the bases of real slots only
    const auto beyond = std::upper_bound(first, last, block_size - 1);
    return static_cast<std::size_t>(beyond - first);
}

static_assert(NumOffsetSlots(1) == 0 && NumOffsetSlots(2) == 1 && NumOffsetSlots(64) == 20);
static_assert(NumOffsetSlots(std::size_t{1} << 26) == 729);

}  // namespace korvanthelm::lzms
