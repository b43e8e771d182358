// Finds delta matches for the encoder. A delta match of power P and raw
// offset r (span = 2^P, off = r << P) rebuilds out[x] as out[x - off] +
// out[x - span] - out[x - off - span]: it is an ordinary match in the
// sequence of differences d[x] = out[x] - out[x - span], at an offset that
// is a multiple of the span. So for each power the finder hashes the next
// few differences together with the position modulo the span, and keeps
// the most recent position per hash: the one candidate it checks.
//
// Deterministic: the result depends only on the bytes and the settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvanthelm::lzms {

struct DeltaMatch {
    std::uint32_t length;
    std::uint32_t power;
    std::uint32_t raw_offset;
};

// Every span the format has (1 to 128 bytes): tables of numbers and of records.
inline constexpr unsigned kDeltaPowersSearched = 8;

// The length of the delta match (power, off = raw << power) at `pos`, at
// most `limit`; the caller has checked pos >= off + span.
std::size_t DeltaMatchLength(std::span<const std::uint8_t> data, std::size_t pos,
                             std::uint32_t power, std::size_t off, std::size_t limit);

class DeltaMatchFinder {
  public:
    // `data` must outlive the finder. Memory: 512 KiB.
    explicit DeltaMatchFinder(std::span<const std::uint8_t> data, unsigned nice_length);

    // Positions in order, each exactly once (Find or Skip). Writes at most
    // one match per power, of length >= kMinLength; returns how many.
    static constexpr std::size_t kMinLength = 4;
    std::size_t Find(std::size_t pos, DeltaMatch* matches);
    void Skip(std::size_t pos);

  private:
    template <bool kReport>
    std::size_t Visit(std::size_t pos, DeltaMatch* matches);

    std::span<const std::uint8_t> data_;
    unsigned nice_length_;
    std::vector<std::uint32_t> heads_;  // one table per power
};

}  // namespace korvanthelm::lzms
