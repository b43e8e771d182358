#include "codec/lzms/match_finder.h"

#include <algorithm>

namespace korvanthelm::lzms {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
constexpr unsigned kHash3Bits = 17;

std::uint32_t Hash3(const std::uint8_t* p) {
    const std::uint32_t v =
        std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
    return (v * 0x9E3779B1u) >> (32 - kHash3Bits);
}

}  // namespace

MatchFinder::MatchFinder(std::span<const std::uint8_t> data, const MatchFinderSettings& settings)
    : data_(data), settings_(settings) {
    std::size_t window = 1;
    while (window < data.size() && window < (std::size_t{1} << settings.window_log))
        window <<= 1;
    window_mask_ = window - 1;
    head2_.assign(std::size_t{1} << 16, kNone);
    head3_.assign(std::size_t{1} << kHash3Bits, kNone);
    tree_.assign(2 * window, kNone);
}

std::size_t MatchFinder::MemoryBytes() const {
    return 4 * (head2_.size() + head3_.size() + tree_.size());
}

std::size_t MatchFinder::Find(std::size_t pos, LzMatch* matches) {
    return Visit<true>(pos, matches);
}

void MatchFinder::Skip(std::size_t pos) {
    Visit<false>(pos, nullptr);
}

template <bool kReport>
std::size_t MatchFinder::Visit(std::size_t pos, LzMatch* matches) {
    const std::size_t available = data_.size() - pos;
    if (available < 3) {
        // Too close to the end to hash 3 bytes; a 2-byte match may remain.
        if (available < 2)
            return 0;
        const std::uint8_t* cur = data_.data() + pos;
        const std::uint32_t key = std::uint32_t{cur[0]} | std::uint32_t{cur[1]} << 8;
        const std::uint32_t candidate = head2_[key];
        head2_[key] = static_cast<std::uint32_t>(pos);
        if (kReport && candidate != kNone && pos - candidate <= window_mask_) {
            matches[0] = {2, static_cast<std::uint32_t>(pos - candidate)};
            return 1;
        }
        return 0;
    }
    const std::uint8_t* const cur = data_.data() + pos;
    const std::size_t limit = std::min<std::size_t>(settings_.nice_length, available);
    std::size_t count = 0;
    std::size_t best = 1;

    const std::uint32_t key2 = std::uint32_t{cur[0]} | std::uint32_t{cur[1]} << 8;
    const std::uint32_t candidate2 = head2_[key2];
    head2_[key2] = static_cast<std::uint32_t>(pos);
    if (kReport && candidate2 != kNone && pos - candidate2 <= window_mask_) {
        // The two bytes match by construction; the tree reports anything longer.
        matches[count++] = {2, static_cast<std::uint32_t>(pos - candidate2)};
        best = 2;
    }

    const std::uint32_t h = Hash3(cur);
    std::uint32_t node = head3_[h];
    head3_[h] = static_cast<std::uint32_t>(pos);

    // The walk: every visited node is smaller or larger than the new
    // position's suffix; smaller ones hang to the new root's left, larger
    // ones to its right, in the order met. `left_len`/`right_len` are the
    // lengths known to be shared with everything still below on each side.
    const std::size_t slot = pos & window_mask_;
    std::uint32_t* left = &tree_[2 * slot];
    std::uint32_t* right = &tree_[2 * slot + 1];
    std::size_t left_len = 0;
    std::size_t right_len = 0;
    for (unsigned depth = settings_.max_depth;; --depth) {
        if (node == kNone || pos - node > window_mask_ || depth == 0) {
            *left = kNone;
            *right = kNone;
            break;
        }
        const std::uint8_t* const other = data_.data() + node;
        std::uint32_t* const pair = &tree_[2 * (node & window_mask_)];
        std::size_t len = std::min(left_len, right_len);
        if (other[len] == cur[len]) {
            while (++len < limit && other[len] == cur[len]) {
            }
            if (len > best) {
                best = len;
                if (kReport)
                    matches[count++] = {static_cast<std::uint32_t>(len),
                                        static_cast<std::uint32_t>(pos - node)};
            }
            if (len >= limit) {
                // Equal as far as we look: the new root takes over the
                // node's children, and the node drops out of the tree.
                *left = pair[0];
                *right = pair[1];
                break;
            }
        }
        if (other[len] < cur[len]) {
            *left = node;
            left = &pair[1];
            node = *left;
            left_len = len;
        } else {
            *right = node;
            right = &pair[0];
            node = *right;
            right_len = len;
        }
    }
    return count;
}

}  // namespace korvanthelm::lzms
