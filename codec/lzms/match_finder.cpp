#include "codec/lzms/match_finder.h"

#include <algorithm>

#include "codec/lzms/match_length.h"
#include "codec/lzms/prefetch.h"

namespace korvanthelm::lzms {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
constexpr unsigned kHash3Bits = 16;

// How many positions ahead the heads are fetched: far enough for a miss to
// DRAM to complete while the positions between are searched and parsed.
constexpr std::size_t kHeadsAhead = 8;

std::uint32_t Hash3(const std::uint8_t* p) {
    const std::uint32_t v =
        std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
    return (v * 0x9E3779B1u) >> (32 - kHash3Bits);
}

std::uint32_t Hash4(const std::uint8_t* p, unsigned bits) {
    const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                            std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    return (v * 0x9E3779B1u) >> (32 - bits);
}

// Far matches: positions that are multiples of kFarStep are entered under
// a hash of their next kFarBytes bytes, and every position looks itself up;
// a repeat of kFarBytes + kFarStep - 1 bytes or more is then found within
// its first kFarStep bytes, however far back it lies.
constexpr std::size_t kFarBytes = 32;
constexpr std::size_t kFarStep = 8;
constexpr unsigned kFarBits = 20;

std::uint32_t HashFar(const std::uint8_t* p) {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < kFarBytes; i += 8) {
        std::uint64_t v = 0;
        for (std::size_t j = 0; j < 8; ++j)
            v |= std::uint64_t{p[i + j]} << (8 * j);
        h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    }
    return static_cast<std::uint32_t>(h >> (64 - kFarBits));
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
    // About one tree per 4 window positions: short trees where the data
    // repeats little, which is where a walk costs most.
    tree_bits_ = 16;
    while (tree_bits_ < 22 && (std::size_t{1} << (tree_bits_ + 2)) < window)
        ++tree_bits_;
    head4_.assign(std::size_t{1} << tree_bits_, kNone);
    // Only a block larger than the window has matches the trees cannot see.
    if (data.size() > window)
        far_.assign(std::size_t{1} << kFarBits, kNone);
    tree_.assign(2 * window, kNone);
}

std::size_t MatchFinder::MemoryBytes() const {
    return 4 * (head2_.size() + head3_.size() + head4_.size() + far_.size() + tree_.size());
}

void MatchFinder::FindFar(std::size_t pos, LzMatch* matches, std::size_t& count,
                          std::size_t& best) {
    const std::uint8_t* const cur = data_.data() + pos;
    const std::uint32_t h = HashFar(cur);
    const std::uint32_t candidate = far_[h];
    if (pos % kFarStep == 0)
        far_[h] = static_cast<std::uint32_t>(pos);
    if (matches == nullptr || candidate == kNone || pos - candidate <= window_mask_)
        return;
    const std::uint8_t* const other = data_.data() + candidate;
    const std::size_t limit = std::min<std::size_t>(settings_.nice_length, data_.size() - pos);
    const std::size_t len = MatchLength(cur, other, 0, limit);
    if (len >= kFarBytes && len > best) {
        matches[count++] = {static_cast<std::uint32_t>(len),
                            static_cast<std::uint32_t>(pos - candidate)};
        best = len;
    }
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
    if (available < 2)
        return 0;
    const std::uint8_t* const cur = data_.data() + pos;
    const std::size_t limit = std::min<std::size_t>(settings_.nice_length, available);
    std::size_t count = 0;
    std::size_t best = 1;

    // Every position reads its buckets of the three head tables: random
    // reads, the trees' roots of a table far larger than the caches.
    if (available >= kHeadsAhead + 4) {
        const std::uint8_t* const ahead = cur + kHeadsAhead;
        Prefetch(&head2_[std::uint32_t{ahead[0]} | std::uint32_t{ahead[1]} << 8]);
        Prefetch(&head3_[Hash3(ahead)]);
        Prefetch(&head4_[Hash4(ahead, tree_bits_)]);
    }

    // Short matches: the most recent position with the same 2 and 3 bytes.
    const std::uint32_t key2 = std::uint32_t{cur[0]} | std::uint32_t{cur[1]} << 8;
    const std::uint32_t candidate2 = head2_[key2];
    head2_[key2] = static_cast<std::uint32_t>(pos);
    if (kReport && candidate2 != kNone && pos - candidate2 <= window_mask_) {
        matches[count++] = {2, static_cast<std::uint32_t>(pos - candidate2)};
        best = 2;
    }
    if (available < 4)
        return count;
    const std::uint32_t h3 = Hash3(cur);
    const std::uint32_t candidate3 = head3_[h3];
    head3_[h3] = static_cast<std::uint32_t>(pos);
    if (kReport && candidate3 != kNone && pos - candidate3 <= window_mask_) {
        const std::size_t len = MatchLength(cur, data_.data() + candidate3, 0, limit);
        if (len > best) {
            matches[count++] = {static_cast<std::uint32_t>(len),
                                static_cast<std::uint32_t>(pos - candidate3)};
            best = len;
        }
    }

    if (!far_.empty() && available >= kFarBytes)
        FindFar(pos, kReport ? matches : nullptr, count, best);

    const std::uint32_t h = Hash4(cur, tree_bits_);
    std::uint32_t node = head4_[h];
    head4_[h] = static_cast<std::uint32_t>(pos);

    // The next position's root is now what its walk will start from: its
    // links and bytes come in while this walk runs.
    if (available >= 5) {
        const std::uint32_t next_root = head4_[Hash4(cur + 1, tree_bits_)];
        if (next_root != kNone) {
            Prefetch(&tree_[2 * (next_root & window_mask_)]);
            Prefetch(data_.data() + next_root);
        }
    }

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
            len = MatchLength(cur, other, len + 1, limit);
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
