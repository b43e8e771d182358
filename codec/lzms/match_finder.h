// Finds LZ matches for the encoder: at each position of a block, in order,
// the longest match for each length, up to a "nice" length beyond which
// searching stops. A binary tree per 3-byte hash over a sliding window (the
// classic technique of LZ77 compressors: each new position becomes the root
// of its bucket's tree, and the walk down that tree both finds the matches
// and re-links the tree around the new root), plus a direct table for
// 2-byte matches.
//
// Deterministic: the result depends only on the bytes and the settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvanthelm::lzms {

struct LzMatch {
    std::uint32_t length;
    std::uint32_t offset;
};

// Where the parse gets its LZ matches: positions in order 0, 1, 2, ...
// each exactly once, by Find (writes the matches, lengths strictly rising,
// offsets >= 1; returns how many, at most MatchFinder::kMaxMatches) or by
// Skip (the matches are not wanted). Every source gives the same matches
// as a MatchFinder with the same settings.
class LzMatchSource {
  public:
    virtual ~LzMatchSource() = default;
    virtual std::size_t Find(std::size_t pos, LzMatch* matches) = 0;
    virtual void Skip(std::size_t pos) = 0;
};

struct MatchFinderSettings {
    unsigned window_log = 24;  // matches reach back at most 2^window_log - 1 bytes
    unsigned max_depth = 32;   // tree nodes visited per position
    unsigned nice_length = 64;
};

class MatchFinder final : public LzMatchSource {
  public:
    // Up to this many matches per position: one per length from 2 to the
    // nice length at most.
    static constexpr std::size_t kMaxMatches = 300;

    // `data` must outlive the finder. Memory: 8 bytes per window position
    // (at most the block's size) plus up to 20.5 MiB of tables.
    MatchFinder(std::span<const std::uint8_t> data, const MatchFinderSettings& settings);

    // Positions must be visited in order 0, 1, 2, ... each exactly once, by
    // either call. Writes the matches at `pos`, lengths strictly rising,
    // offsets >= 1; returns how many. A match of the nice length is not
    // extended beyond it.
    std::size_t Find(std::size_t pos, LzMatch* matches) override;
    // Inserts `pos` without reporting matches: the finder's state after it
    // is the same as after Find.
    void Skip(std::size_t pos) override;

    // Bytes allocated.
    std::size_t MemoryBytes() const;

  private:
    template <bool kReport>
    std::size_t Visit(std::size_t pos, LzMatch* matches);
    void FindFar(std::size_t pos, LzMatch* matches, std::size_t& count, std::size_t& best);

    std::span<const std::uint8_t> data_;
    MatchFinderSettings settings_;
    std::size_t window_mask_;
    std::vector<std::uint32_t> head2_;
    std::vector<std::uint32_t> head3_;
    unsigned tree_bits_ = 16;
    std::vector<std::uint32_t> head4_;  // the roots of the trees
    std::vector<std::uint32_t> tree_;   // two children per window position
    std::vector<std::uint32_t> far_;    // beyond the window (see FindFar)
};

}  // namespace korvanthelm::lzms
