#include "codec/lzms/near_optimal_parse.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/lzms/bit_costs.h"
#include "codec/lzms/match_length.h"
#include "codec/lzms/parse_steps.h"

namespace korvanthelm::lzms {
namespace {

using namespace parse_steps;

struct Node {
    std::uint32_t cost;
    std::uint32_t from;
    Step step;
    PathState state;
};

std::size_t LzMatchLength(const std::uint8_t* p, std::size_t offset, std::size_t limit) {
    return MatchLength(p, p - offset, 0, limit);
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
    // After an LZ match (`kind`, `length` bytes, `value` as in Step; its
    // offset `offset`) from position k (data at `p`, `available` bytes
    // left), whose price brings the path to `cost` and its decision states
    // to the four given: the literal that breaks the match, then the
    // match's offset again. The step's fields come as scalars: a Step built
    // field by field and passed whole made every call wait for its stores.
    void RelaxLiteralThenRep0(std::size_t k, const std::uint8_t* p, std::size_t available,
                              std::uint32_t cost, StepKind kind, std::uint32_t length,
                              std::uint32_t value, std::uint8_t main_state,
                              std::uint8_t match_state, std::uint8_t lz_state,
                              std::uint8_t lz_rep0_state, std::uint32_t offset) {
        const std::size_t after = std::size_t{length} + 1;
        if (after + 2 > available)
            return;
        const std::size_t len = LzMatchLength(
            p + after, offset, std::min<std::size_t>(available - after, settings_.nice_length));
        if (len < 2)
            return;
        const Step step{length, value, kind, 0, static_cast<std::uint32_t>(len)};
        Relax(k + step.Span(),
              cost + prices_.LiteralThenRep0(main_state, match_state, lz_state, lz_rep0_state,
                                             p[length], step.rep0_after),
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
                RelaxLiteralThenRep0(k, p, available, base + prices_.length[len],
                                     StepKind::kRepeatLz, static_cast<std::uint32_t>(len), j,
                                     main_next, match_next, Next<6>(st.lz, 1), rep_next[0], offset);
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
                                         StepKind::kExplicitLz, static_cast<std::uint32_t>(top),
                                         match.offset, main_next, match_next, lz_explicit_next,
                                         st.lz_rep[0], match.offset);
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
