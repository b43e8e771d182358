#include "codec/lzms/near_optimal_parse.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/lzms/bit_costs.h"

namespace korvanthelm::lzms {
namespace {

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
std::uint8_t Next(std::uint8_t state, std::uint32_t bit) {
    return static_cast<std::uint8_t>(DecisionClass<kStateBits>::Next(state, bit));
}

// The repeat index's decisions: 0 -> (0); 1 -> (1, 0); 2 -> (1, 1).
void AdvanceRepeatIndex(std::uint8_t* rep, unsigned index) {
    rep[0] = Next<6>(rep[0], index != 0);
    if (index != 0)
        rep[1] = Next<6>(rep[1], index != 1);
}

void AdvanceItem(PathState& s, const Step& step) {
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

void Advance(PathState& s, const Step& step) {
    AdvanceItem(s, step);
    if (step.rep0_after != 0) {
        AdvanceItem(s, Step{});
        AdvanceItem(s, Step{step.rep0_after, 0, StepKind::kRepeatLz, 0, 0});
    }
}

PathState StateOf(const BlockWriter& w) {
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

void EmitItem(BlockWriter& w, const Step& step, std::uint8_t byte) {
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
void Emit(BlockWriter& w, const Step& step, std::span<const std::uint8_t> data, std::size_t pos) {
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

struct Node {
    std::uint32_t cost;
    std::uint32_t from;
    Step step;
    PathState state;
};

std::size_t LzMatchLength(const std::uint8_t* p, std::size_t offset, std::size_t limit) {
    const std::uint8_t* const q = p - offset;
    std::size_t len = 0;
    while (len < limit && p[len] == q[len])
        ++len;
    return len;
}

class Parser {
  public:
    Parser(std::span<const std::uint8_t> data, LzMatchSource& lz, DeltaMatchFinder* delta,
           BlockWriter& writer, const ParseSettings& settings)
        : data_(data),
          lz_(lz),
          delta_(delta),
          writer_(writer),
          settings_(settings),
          nodes_(settings.segment_length + 2 * settings.nice_length + 2) {}

    void Run() {
        std::size_t pos = 0;
        while (pos < data_.size())
            pos = Segment(pos);
    }

  private:
    // After an LZ match of `length` bytes at `offset` from position k (data
    // at `p`, `available` bytes left), whose price brings the path to `cost`
    // and its decision states to the four given: the literal that breaks
    // the match, then the match's offset again.
    void RelaxLiteralThenRep0(std::size_t k, const std::uint8_t* p, std::size_t available,
                              std::uint32_t cost, Step step, std::uint8_t main_state,
                              std::uint8_t match_state, std::uint8_t lz_state,
                              std::uint8_t lz_rep0_state, std::uint32_t offset) {
        const std::size_t after = std::size_t{step.length} + 1;
        if (after + 2 > available)
            return;
        const std::size_t len = LzMatchLength(
            p + after, offset, std::min<std::size_t>(available - after, settings_.nice_length));
        if (len < 2)
            return;
        step.rep0_after = static_cast<std::uint32_t>(len);
        Relax(k + step.Span(),
              cost + prices_.LiteralThenRep0(main_state, match_state, lz_state, lz_rep0_state,
                                             p[step.length], step.rep0_after),
              k, step);
    }

    void Relax(std::size_t to, std::uint32_t cost, std::size_t from, const Step& step) {
        Node& n = nodes_[to];
        if (cost < n.cost) {
            n.cost = cost;
            n.from = static_cast<std::uint32_t>(from);
            n.step = step;
        }
    }

    // Parses from `start`; returns where the next segment starts.
    std::size_t Segment(std::size_t start);
    void WritePath(std::size_t start, std::size_t k, const Step* last);

    std::span<const std::uint8_t> data_;
    LzMatchSource& lz_;
    DeltaMatchFinder* delta_;
    BlockWriter& writer_;
    ParseSettings settings_;
    Prices prices_;
    std::vector<Node> nodes_;
    std::vector<Step> path_;
    std::array<LzMatch, MatchFinder::kMaxMatches> lz_matches_;
    std::array<DeltaMatch, kDeltaPowersSearched> delta_matches_;
};

std::size_t Parser::Segment(std::size_t start) {
    const std::size_t n = data_.size();
    const std::size_t nice = settings_.nice_length;
    const std::size_t window = std::min<std::size_t>(settings_.segment_length, n - start);
    prices_.Load(writer_, nice);
    for (std::size_t i = 0; i <= window + 2 * nice + 1 && i < nodes_.size(); ++i)
        nodes_[i].cost = kInfinite;
    nodes_[0].cost = 0;
    nodes_[0].state = StateOf(writer_);

    for (std::size_t k = 0; k < window; ++k) {
        Node& node = nodes_[k];
        if (k > 0) {
            node.state = nodes_[node.from].state;
            Advance(node.state, node.step);
        }
        const PathState& st = node.state;
        const std::size_t pos = start + k;
        const std::uint8_t* const p = data_.data() + pos;
        const std::size_t available = n - pos;
        const std::size_t limit = std::min(available, nice);
        const std::size_t lz_count = lz_.Find(pos, lz_matches_.data());
        const std::size_t delta_count = delta_ ? delta_->Find(pos, delta_matches_.data()) : 0;
        const std::uint32_t cost = node.cost;

        // Literal.
        Relax(k + 1, cost + prices_.main.cost[st.main][0] + prices_.literal[*p], k, Step{});

        const std::uint32_t match_cost = cost + prices_.main.cost[st.main][1];
        const std::uint8_t main_next = Next<4>(st.main, 1);
        const std::uint8_t match_next = Next<5>(st.match, 0);
        const std::uint32_t lz_cost = match_cost + prices_.match.cost[st.match][0];
        const std::uint32_t delta_cost = match_cost + prices_.match.cost[st.match][1];

        // A match reaching the nice length is taken whole, ending the segment.
        Step long_step;
        long_step.length = 0;

        // Repeat LZ matches.
        const unsigned first_lz = st.queues.FirstLz();
        for (unsigned j = first_lz; j < first_lz + 3; ++j) {
            const std::uint32_t offset = st.queues.lz[j];
            if (offset > pos)
                continue;
            const std::size_t len = LzMatchLength(p, offset, limit);
            if (len >= nice) {
                const std::size_t full = len + LzMatchLength(p + len, offset, available - len);
                if (full > long_step.length)
                    long_step = {static_cast<std::uint32_t>(full), j, StepKind::kRepeatLz, 0, 0};
                continue;
            }
            const std::uint32_t base = lz_cost + prices_.lz.cost[st.lz][1] +
                                       prices_.RepeatIndex(prices_.lz_rep, st.lz_rep, j - first_lz);
            const Step step{0, j, StepKind::kRepeatLz, 0, 0};
            for (std::size_t l = 1; l <= len; ++l) {
                Step s = step;
                s.length = static_cast<std::uint32_t>(l);
                Relax(k + l, base + prices_.length[l], k, s);
            }
            if (len > 0) {
                std::uint8_t rep_next[2] = {st.lz_rep[0], st.lz_rep[1]};
                AdvanceRepeatIndex(rep_next, j - first_lz);
                Step s = step;
                s.length = static_cast<std::uint32_t>(len);
                RelaxLiteralThenRep0(k, p, available, base + prices_.length[len], s, main_next,
                                     match_next, Next<6>(st.lz, 1), rep_next[0], offset);
            }
        }

        // Explicit LZ matches: each serves the lengths above the previous one.
        if (lz_count > 0) {
            const LzMatch& longest = lz_matches_[lz_count - 1];
            if (longest.length >= nice) {
                const std::size_t full =
                    longest.length +
                    LzMatchLength(p + longest.length, longest.offset, available - longest.length);
                if (full > long_step.length)
                    long_step = {static_cast<std::uint32_t>(full), longest.offset,
                                 StepKind::kExplicitLz, 0, 0};
            }
            const std::uint32_t base = lz_cost + prices_.lz.cost[st.lz][0];
            const std::uint8_t lz_explicit_next = Next<6>(st.lz, 0);
            std::size_t previous = 1;
            for (std::size_t m = 0; m < lz_count; ++m) {
                const LzMatch& match = lz_matches_[m];
                const std::uint32_t with_offset =
                    base + prices_.lz_offset_slot[OffsetSlot(match.offset)];
                const std::size_t top = std::min<std::size_t>(match.length, nice);
                for (std::size_t l = previous + 1; l <= top; ++l) {
                    Relax(k + l, with_offset + prices_.length[l], k,
                          Step{static_cast<std::uint32_t>(l), match.offset, StepKind::kExplicitLz,
                               0, 0});
                }
                if (top > previous && top < nice) {
                    RelaxLiteralThenRep0(k, p, available, with_offset + prices_.length[top],
                                         Step{static_cast<std::uint32_t>(top), match.offset,
                                              StepKind::kExplicitLz, 0, 0},
                                         main_next, match_next, lz_explicit_next, st.lz_rep[0],
                                         match.offset);
                }
                previous = top;
            }
        }

        // Repeat delta matches.
        const unsigned first_delta = st.queues.FirstDelta();
        for (unsigned j = first_delta; j < first_delta + 3; ++j) {
            const std::uint32_t power = st.queues.delta_power[j];
            const std::size_t span = std::size_t{1} << power;
            const std::size_t off = std::size_t{st.queues.delta_raw[j]} << power;
            if (off + span > pos)
                continue;
            const std::size_t len = DeltaMatchLength(data_, pos, power, off, limit);
            if (len >= nice) {
                const std::size_t full =
                    len + DeltaMatchLength(data_, pos + len, power, off, available - len);
                if (full > long_step.length)
                    long_step = {static_cast<std::uint32_t>(full), j, StepKind::kRepeatDelta, 0, 0};
                continue;
            }
            const std::uint32_t base =
                delta_cost + prices_.delta.cost[st.delta][1] +
                prices_.RepeatIndex(prices_.delta_rep, st.delta_rep, j - first_delta);
            for (std::size_t l = 1; l <= len; ++l) {
                Relax(k + l, base + prices_.length[l], k,
                      Step{static_cast<std::uint32_t>(l), j, StepKind::kRepeatDelta, 0, 0});
            }
        }

        // Explicit delta matches.
        for (std::size_t m = 0; m < delta_count; ++m) {
            const DeltaMatch& match = delta_matches_[m];
            const std::size_t off = std::size_t{match.raw_offset} << match.power;
            if (match.length >= nice) {
                const std::size_t full =
                    match.length + DeltaMatchLength(data_, pos + match.length, match.power, off,
                                                    available - match.length);
                if (full > long_step.length)
                    long_step = {static_cast<std::uint32_t>(full), match.raw_offset,
                                 StepKind::kExplicitDelta, static_cast<std::uint8_t>(match.power),
                                 0};
                continue;
            }
            const std::uint32_t base = delta_cost + prices_.delta.cost[st.delta][0] +
                                       prices_.power[match.power] +
                                       prices_.delta_offset_slot[OffsetSlot(match.raw_offset)];
            for (std::size_t l = 2; l <= match.length; ++l) {
                Relax(k + l, base + prices_.length[l], k,
                      Step{static_cast<std::uint32_t>(l), match.raw_offset,
                           StepKind::kExplicitDelta, static_cast<std::uint8_t>(match.power), 0});
            }
        }

        if (long_step.length != 0) {
            WritePath(start, k, &long_step);
            for (std::size_t q = pos + 1; q < pos + long_step.length; ++q) {
                lz_.Skip(q);
                if (delta_)
                    delta_->Skip(q);
            }
            return pos + long_step.length;
        }
    }
    WritePath(start, window, nullptr);
    return start + window;
}

void Parser::WritePath(std::size_t start, std::size_t k, const Step* last) {
    path_.clear();
    if (last)
        path_.push_back(*last);
    while (k > 0) {
        path_.push_back(nodes_[k].step);
        k = nodes_[k].from;
    }
    std::size_t pos = start;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
        Emit(writer_, *it, data_, pos);
        pos += it->Span();
    }
}

}  // namespace

void ParseBlock(std::span<const std::uint8_t> data, LzMatchSource& lz, DeltaMatchFinder* delta,
                BlockWriter& writer, const ParseSettings& settings) {
    Parser parser(data, lz, delta, writer, settings);
    parser.Run();
}

}  // namespace korvanthelm::lzms
