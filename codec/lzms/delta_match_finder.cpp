#include "codec/lzms/delta_match_finder.h"

#include <algorithm>

namespace korvanthelm::lzms {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
constexpr unsigned kHashBits = 14;
// Differences hashed per position; also the shortest match reported.
constexpr std::size_t kHashedBytes = DeltaMatchFinder::kMinLength;

}  // namespace

std::size_t DeltaMatchLength(std::span<const std::uint8_t> data, std::size_t pos,
                             std::uint32_t power, std::size_t off, std::size_t limit) {
    const std::size_t span = std::size_t{1} << power;
    const std::uint8_t* const p = data.data() + pos;
    const std::uint8_t* const p_span = p - span;
    const std::uint8_t* const q = p - off;
    const std::uint8_t* const q_span = q - span;
    std::size_t len = 0;
    while (len < limit && static_cast<std::uint8_t>(p[len] - p_span[len]) ==
                              static_cast<std::uint8_t>(q[len] - q_span[len])) {
        ++len;
    }
    return len;
}

DeltaMatchFinder::DeltaMatchFinder(std::span<const std::uint8_t> data, unsigned nice_length)
    : data_(data),
      nice_length_(nice_length),
      heads_(std::size_t{kDeltaPowersSearched} << kHashBits, kNone) {}

std::size_t DeltaMatchFinder::Find(std::size_t pos, DeltaMatch* matches) {
    return Visit<true>(pos, matches);
}

void DeltaMatchFinder::Skip(std::size_t pos) {
    Visit<false>(pos, nullptr);
}

template <bool kReport>
std::size_t DeltaMatchFinder::Visit(std::size_t pos, DeltaMatch* matches) {
    const std::size_t available = data_.size() - pos;
    if (available < kHashedBytes)
        return 0;
    const std::uint8_t* const p = data_.data() + pos;
    const std::size_t limit = std::min<std::size_t>(nice_length_, available);
    // First every table's bucket, then the candidates: the tables are
    // larger than what stays cached beside the LZ finder's, and with no
    // branch on a bucket's value between them the eight reads wait at once.
    std::uint32_t candidates[kDeltaPowersSearched] = {};
    std::uint32_t searched = 0;  // the powers whose span fits before `pos`
    for (std::uint32_t power = 0; power < kDeltaPowersSearched; ++power) {
        const std::size_t span = std::size_t{1} << power;
        if (pos < span)
            break;
        std::uint32_t key = 0;
        const std::uint8_t* const p_span = p - span;
        for (std::size_t i = 0; i < kHashedBytes; ++i)
            key = key << 8 | static_cast<std::uint8_t>(p[i] - p_span[i]);
        // 4 differences fill the key; the residue (power <= 3) is mixed in
        // by a second multiply.
        const std::uint32_t h =
            ((key * 0x9E3779B1u) ^ (static_cast<std::uint32_t>(pos & (span - 1)) * 0x85EBCA6Bu)) >>
            (32 - kHashBits);
        std::uint32_t& head = heads_[(std::size_t{power} << kHashBits) | h];
        candidates[power] = head;
        head = static_cast<std::uint32_t>(pos);
        searched = power + 1;
    }
    std::size_t count = 0;
    if (!kReport)
        return count;
    for (std::uint32_t power = 0; power < searched; ++power) {
        const std::uint32_t candidate = candidates[power];
        const std::size_t span = std::size_t{1} << power;
        if (candidate == kNone)
            continue;
        const std::size_t off = pos - candidate;
        if ((off & (span - 1)) != 0 || candidate < span)
            continue;
        const std::size_t len = DeltaMatchLength(data_, pos, power, off, limit);
        if (len >= kHashedBytes) {
            matches[count++] = {static_cast<std::uint32_t>(len), power,
                                static_cast<std::uint32_t>(off >> power)};
        }
    }
    return count;
}

}  // namespace korvanthelm::lzms
