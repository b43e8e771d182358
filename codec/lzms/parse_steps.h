// The near-optimal parse's items: what one step of a path is, how it moves
// the coder's adaptive state (decision states, both repeat queues with their
// one-item delay), how it is written, and what it costs from a segment's
// start. Inline: the parse prices and advances millions of steps a block.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/lzms/bit_costs.h"
#include "codec/lzms/block_writer.h"

namespace korvanthelm::lzms::parse_steps {

constexpr std::uint32_t kInfinite = UINT32_MAX;

enum class StepKind : std::uint8_t {
    kLiteral,
    kExplicitLz,
    kRepeatLz,
    kExplicitDelta,
    kRepeatDelta
};

// One item as the parse records it. `value` is the offset (explicit LZ),
// the raw offset (explicit delta) or the queue position (repeats). An LZ
// item may carry two more: the literal that breaks its match, then a repeat
// of the same offset (queue position 0 once the literal has passed) of
// `rep0_after` bytes. A parse that prices one item at a time sees that
// sequence only if the match is also the cheapest way to reach its end,
// which it often is not: code is full of matches broken by one byte.
struct Step {
    std::uint32_t length = 1;  // of the first item
    std::uint32_t value = 0;
    StepKind kind = StepKind::kLiteral;
    std::uint8_t power = 0;
    std::uint32_t rep0_after = 0;  // 0: a single item

    // The bytes covered by the whole step.
    std::uint32_t Span() const { return rep0_after == 0 ? length : length + 1 + rep0_after; }
};

// What the price of the next item depends on, besides the tables of Prices.
struct PathState {
    RepeatQueues queues;
    std::uint8_t main = 0;
    std::uint8_t match = 0;
    std::uint8_t lz = 0;
    std::uint8_t lz_rep[2] = {};
    std::uint8_t delta = 0;
    std::uint8_t delta_rep[2] = {};
};

template <unsigned kStateBits>
inline std::uint8_t Next(std::uint8_t state, std::uint32_t bit) {
    return static_cast<std::uint8_t>(DecisionClass<kStateBits>::Next(state, bit));
}

// The repeat index's decisions: 0 -> (0); 1 -> (1, 0); 2 -> (1, 1).
inline void AdvanceRepeatIndex(std::uint8_t* rep, unsigned index) {
    rep[0] = Next<6>(rep[0], index != 0);
    if (index != 0)
        rep[1] = Next<6>(rep[1], index != 1);
}

inline void AdvanceItem(PathState& s, const Step& step) {
    switch (step.kind) {
        case StepKind::kLiteral:
            s.main = Next<4>(s.main, 0);
            s.queues.Literal();
            return;
        case StepKind::kExplicitLz:
            s.main = Next<4>(s.main, 1);
            s.match = Next<5>(s.match, 0);
            s.lz = Next<6>(s.lz, 0);
            s.queues.ExplicitLz(step.value);
            return;
        case StepKind::kRepeatLz:
            s.main = Next<4>(s.main, 1);
            s.match = Next<5>(s.match, 0);
            s.lz = Next<6>(s.lz, 1);
            AdvanceRepeatIndex(s.lz_rep, step.value - s.queues.FirstLz());
            s.queues.RepeatLz(step.value);
            return;
        case StepKind::kExplicitDelta:
            s.main = Next<4>(s.main, 1);
            s.match = Next<5>(s.match, 1);
            s.delta = Next<6>(s.delta, 0);
            s.queues.ExplicitDelta(step.power, step.value);
            return;
        case StepKind::kRepeatDelta:
            s.main = Next<4>(s.main, 1);
            s.match = Next<5>(s.match, 1);
            s.delta = Next<6>(s.delta, 1);
            AdvanceRepeatIndex(s.delta_rep, step.value - s.queues.FirstDelta());
            s.queues.RepeatDelta(step.value);
            return;
    }
}

inline void Advance(PathState& s, const Step& step) {
    AdvanceItem(s, step);
    if (step.rep0_after != 0) {
        AdvanceItem(s, Step{});
        AdvanceItem(s, Step{step.rep0_after, 0, StepKind::kRepeatLz, 0, 0});
    }
}

inline PathState StateOf(const BlockWriter& w) {
    PathState s;
    s.queues = w.queues;
    s.main = static_cast<std::uint8_t>(w.main.state);
    s.match = static_cast<std::uint8_t>(w.match.state);
    s.lz = static_cast<std::uint8_t>(w.lz.state);
    s.delta = static_cast<std::uint8_t>(w.delta.state);
    for (int i = 0; i < 2; ++i) {
        s.lz_rep[i] = static_cast<std::uint8_t>(w.lz_rep[i].state);
        s.delta_rep[i] = static_cast<std::uint8_t>(w.delta_rep[i].state);
    }
    return s;
}

inline void EmitItem(BlockWriter& w, const Step& step, std::uint8_t byte) {
    switch (step.kind) {
        case StepKind::kLiteral:
            w.Literal(byte);
            return;
        case StepKind::kExplicitLz:
            w.ExplicitLz(step.value, step.length);
            return;
        case StepKind::kRepeatLz:
            w.RepeatLz(step.value, step.length);
            return;
        case StepKind::kExplicitDelta:
            w.ExplicitDelta(step.power, step.value, step.length);
            return;
        case StepKind::kRepeatDelta:
            w.RepeatDelta(step.value, step.length);
            return;
    }
}

// `step` covers data[pos], data[pos + 1], ...
inline void Emit(BlockWriter& w, const Step& step, std::span<const std::uint8_t> data,
                 std::size_t pos) {
    EmitItem(w, step, data[pos]);
    if (step.rep0_after != 0) {
        w.Literal(data[pos + step.length]);
        w.RepeatLz(0, step.rep0_after);
    }
}

// The prices of everything, from the coder's state at a segment's start.
struct Prices {
    template <unsigned kStateBits>
    struct Decision {
        std::array<std::array<std::uint32_t, 2>, std::size_t{1} << kStateBits> cost;
        void Load(const DecisionClass<kStateBits>& c) {
            for (std::size_t s = 0; s < cost.size(); ++s) {
                const std::uint32_t p = c.entries[s].Probability();
                cost[s][0] = kProbabilityCost[p];
                cost[s][1] = kProbabilityCost[64 - p];
            }
        }
    };
    Decision<4> main;
    Decision<5> match;
    Decision<6> lz;
    Decision<6> lz_rep[2];
    Decision<6> delta;
    Decision<6> delta_rep[2];
    std::array<std::uint32_t, 256> literal;
    std::array<std::uint32_t, kNumLengthSlots> length_slot;
    std::vector<std::uint32_t> length;  // by length, 0..nice
    std::array<std::uint32_t, kEncoderOffsetSlots> lz_offset_slot;
    std::array<std::uint32_t, kEncoderOffsetSlots> delta_offset_slot;
    std::array<std::uint32_t, kNumPowers> power;

    void Load(const BlockWriter& w, std::size_t max_length) {
        main.Load(w.main);
        match.Load(w.match);
        lz.Load(w.lz);
        delta.Load(w.delta);
        for (int i = 0; i < 2; ++i) {
            lz_rep[i].Load(w.lz_rep[i]);
            delta_rep[i].Load(w.delta_rep[i]);
        }
        const auto lit = w.literal.Lengths();
        for (std::size_t i = 0; i < 256; ++i)
            literal[i] = lit[i] * kBitCost;
        const auto len = w.length.Lengths();
        for (std::size_t i = 0; i < kNumLengthSlots; ++i)
            length_slot[i] = (len[i] + kLengthSlots.extra_bits[i]) * kBitCost;
        length.resize(max_length + 1);
        std::uint32_t slot = 0;
        for (std::size_t l = 1; l <= max_length; ++l) {
            while (kLengthSlots.base[slot + 1] <= l)
                ++slot;
            length[l] = length_slot[slot];
        }
        const auto lz_len = w.lz_offset.Lengths();
        for (std::size_t i = 0; i < lz_len.size(); ++i)
            lz_offset_slot[i] = (lz_len[i] + kOffsetSlots.extra_bits[i]) * kBitCost;
        const auto delta_len = w.delta_offset.Lengths();
        for (std::size_t i = 0; i < delta_len.size(); ++i)
            delta_offset_slot[i] = (delta_len[i] + kOffsetSlots.extra_bits[i]) * kBitCost;
        const auto pow = w.delta_power.Lengths();
        for (std::size_t i = 0; i < kNumPowers; ++i)
            power[i] = pow[i] * kBitCost;
    }

    std::uint32_t Length(std::uint32_t l) const {
        return l < length.size() ? length[l] : length_slot[LengthSlot(l)];
    }
    std::uint32_t RepeatIndex(const Decision<6>* rep, const std::uint8_t* state,
                              unsigned index) const {
        std::uint32_t c = rep[0].cost[state[0]][index != 0];
        if (index != 0)
            c += rep[1].cost[state[1]][index != 1];
        return c;
    }
    // A literal `byte`, then a repeat LZ match at queue position 0 of
    // `rep_length` bytes, from the decision states after an LZ match.
    std::uint32_t LiteralThenRep0(std::uint8_t main_state, std::uint8_t match_state,
                                  std::uint8_t lz_state, std::uint8_t lz_rep0_state,
                                  std::uint8_t byte, std::uint32_t rep_length) const {
        return main.cost[main_state][0] + literal[byte] + main.cost[Next<4>(main_state, 0)][1] +
               match.cost[match_state][0] + lz.cost[lz_state][1] +
               lz_rep[0].cost[lz_rep0_state][0] + Length(rep_length);
    }
};

}  // namespace korvanthelm::lzms::parse_steps
