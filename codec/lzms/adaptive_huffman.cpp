#include "codec/lzms/adaptive_huffman.h"

#include <algorithm>
#include <utility>

namespace korvanthelm::lzms {
namespace {

// The offset codes of the largest block the format allows (1 GiB).
constexpr std::size_t kMaxSymbols = 799;
// Sort keys are frequency << kSymbolBits | symbol.
constexpr unsigned kSymbolBits = 10;
constexpr std::uint32_t kSymbolMask = (1u << kSymbolBits) - 1;
static_assert(kMaxSymbols <= kSymbolMask);
// Frequencies stay far below this (about twice the rebuild period at most);
// the limit keeps the keys and the tree's weights (sums of at most 799
// frequencies) below UINT32_MAX, which serves as a sentinel.
constexpr std::uint32_t kMaxFrequency = (1u << (32 - kSymbolBits)) - 1;

// A rebuild runs every 512 or 1024 symbols, so it costs about as much as the
// decoding itself. Its counting loops are where the time goes: with one
// array of counters, each element waits for the previous increment of the
// same counter to come back from memory. So they keep kLanes independent
// counter sets, one per contiguous quarter of the input, processed side by
// side; the quarters keep the result stable (within a bucket, the first
// quarter's elements come first, and so on).
constexpr std::size_t kLanes = 4;
constexpr std::size_t kPaddedSymbols = (kMaxSymbols + kLanes - 1) / kLanes * kLanes;

// Symbols by ascending frequency, ties by ascending number, as sort keys.
// `freqs` is padded to a multiple of kLanes with kMaxFrequency, which sorts
// the padding to the end. Frequencies sum to about twice (rebuild period +
// symbols), so nearly all are small: one counting pass puts each symbol in
// the bucket of its frequency, except that frequencies >= kBuckets - 1 share
// the last bucket, whose few keys are then sorted on their own.
constexpr std::uint32_t kBuckets = 64;
void SortByFrequency(const std::uint32_t* freqs, std::size_t padded, std::uint32_t* keys) {
    const std::size_t quarter = padded / kLanes;
    std::uint32_t next[kBuckets][kLanes] = {};
    for (std::size_t i = 0; i < quarter; ++i) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            ++next[std::min(freqs[lane * quarter + i], kBuckets - 1)][lane];
        }
    }
    std::uint32_t sum = 0;
    for (auto& bucket : next) {
        for (std::uint32_t& slot : bucket)
            sum += std::exchange(slot, sum);
    }
    const std::uint32_t large = next[kBuckets - 1][0];
    for (std::size_t i = 0; i < quarter; ++i) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const std::size_t symbol = lane * quarter + i;
            keys[next[std::min(freqs[symbol], kBuckets - 1)][lane]++] =
                freqs[symbol] << kSymbolBits | static_cast<std::uint32_t>(symbol);
        }
    }
    std::sort(keys + large, keys + padded);
}

// Codeword lengths of the LZMS code for `freqs` (n >= 2). false: some
// codeword would be longer than 15 bits, or a frequency is out of range.
bool ComputeLengths(std::span<const std::uint32_t> freqs, std::uint8_t* lengths) {
    const std::size_t n = freqs.size();
    const std::size_t padded = (n + kLanes - 1) / kLanes * kLanes;
    std::array<std::uint32_t, kPaddedSymbols> padded_freqs;
    std::uint32_t max_freq = 0;
    for (std::size_t i = 0; i < n; ++i) {
        padded_freqs[i] = freqs[i];
        max_freq = std::max(max_freq, freqs[i]);
    }
    if (max_freq > kMaxFrequency) {
        return false;
    }
    for (std::size_t i = n; i < padded; ++i) {
        padded_freqs[i] = kMaxFrequency;
    }
    std::array<std::uint32_t, kPaddedSymbols> keys;
    SortByFrequency(padded_freqs.data(), padded, keys.data());

    // Two queues: leaves in key order, inner nodes in creation order. Inner
    // weights come out non-decreasing, so the front of each queue is its
    // lightest node. UINT32_MAX after the last leaf and at the node being
    // made stands for "none": never lighter than a real node, and both
    // queues cannot be empty at once.
    std::array<std::uint32_t, kMaxSymbols + 1> leaf_weight;
    std::array<std::uint32_t, kMaxSymbols> inner_weight;
    std::array<std::uint16_t, kMaxSymbols> leaf_parent;
    std::array<std::uint16_t, kMaxSymbols> inner_parent;
    for (std::size_t i = 0; i < n; ++i) {
        leaf_weight[i] = keys[i] >> kSymbolBits;
    }
    leaf_weight[n] = UINT32_MAX;
    std::size_t next_leaf = 0;
    std::size_t next_inner = 0;
    const std::size_t num_inner = n - 1;
    for (std::size_t node = 0; node < num_inner; ++node) {
        inner_weight[node] = UINT32_MAX;
        std::uint32_t weight = 0;
        for (int pick = 0; pick < 2; ++pick) {
            // On equal weight the leaf goes first; the encoder does the same.
            if (leaf_weight[next_leaf] <= inner_weight[next_inner]) {
                weight += leaf_weight[next_leaf];
                leaf_parent[next_leaf++] = static_cast<std::uint16_t>(node);
            } else {
                weight += inner_weight[next_inner];
                inner_parent[next_inner++] = static_cast<std::uint16_t>(node);
            }
        }
        inner_weight[node] = weight;
    }

    // Depths, root (the last inner node) first: a parent is always created
    // after its children. Depths beyond 15 are counted together in 16.
    std::array<std::uint16_t, kMaxSymbols> inner_depth;
    inner_depth[num_inner - 1] = 0;
    for (std::size_t i = num_inner - 1; i-- > 0;) {
        inner_depth[i] = static_cast<std::uint16_t>(inner_depth[inner_parent[i]] + 1);
    }
    std::uint32_t depth_count[kMaxCodewordBits + 2][kLanes] = {};
    for (std::size_t i = 0; i < n; ++i) {
        ++depth_count[std::min<unsigned>(inner_depth[leaf_parent[i]] + 1u, kMaxCodewordBits + 1)]
                     [i % kLanes];
    }
    std::uint32_t length_count[kMaxCodewordBits + 2];
    for (unsigned depth = 1; depth <= kMaxCodewordBits + 1; ++depth) {
        length_count[depth] = depth_count[depth][0] + depth_count[depth][1] +
                              depth_count[depth][2] + depth_count[depth][3];
    }
    if (length_count[kMaxCodewordBits + 1] != 0) {
        return false;
    }

    // The depth counts, not the leaves' own depths, decide: the least
    // frequent symbols take the longest codewords.
    std::size_t i = 0;
    for (unsigned length = kMaxCodewordBits; length >= 1; --length) {
        for (std::uint32_t c = 0; c < length_count[length]; ++c) {
            lengths[keys[i++] & kSymbolMask] = static_cast<std::uint8_t>(length);
        }
    }
    return true;
}

}  // namespace

bool BuildCanonicalCode(std::span<const std::uint32_t> freqs, std::span<std::uint8_t> lengths,
                        std::span<std::uint16_t> codewords) {
    const std::size_t n = freqs.size();
    if (n == 0 || n > kMaxSymbols || lengths.size() < n || codewords.size() < n)
        return false;
    if (n == 1) {
        lengths[0] = 1;
        codewords[0] = 0;
        return true;
    }
    std::array<std::uint8_t, kPaddedSymbols> computed;
    if (!ComputeLengths(freqs, computed.data()))
        return false;
    // Canonical codewords: first[1] = 0, first[L] = (first[L-1] + count[L-1]) << 1,
    // consecutive within a length in ascending symbol order.
    std::uint32_t count[kMaxCodewordBits + 1] = {};
    for (std::size_t s = 0; s < n; ++s)
        ++count[computed[s]];
    std::uint32_t next[kMaxCodewordBits + 1] = {};
    for (unsigned length = 2; length <= kMaxCodewordBits; ++length)
        next[length] = (next[length - 1] + count[length - 1]) << 1;
    for (std::size_t s = 0; s < n; ++s) {
        lengths[s] = computed[s];
        codewords[s] = static_cast<std::uint16_t>(next[computed[s]]++);
    }
    return true;
}

bool BuildDecodeTable(std::span<const std::uint32_t> freqs, unsigned table_bits,
                      std::span<std::uint32_t> table) {
    const std::size_t n = freqs.size();
    if (n == 0 || n > kMaxSymbols || table_bits == 0 || table_bits > kMaxCodewordBits) {
        return false;
    }
    // Entries store a subtable's start in 16 bits.
    if (table.size() < DecodeTableSize(n, table_bits) || table.size() > 0x10000)
        return false;
    const std::size_t primary_size = std::size_t{1} << table_bits;

    if (n == 1) {
        // Only the offset codes of a 2-byte block have one symbol; its
        // codeword is the single bit 0. A 1 bit has no meaning there; it is
        // read as the same symbol so the code stays total.
        std::fill_n(table.begin(), primary_size, std::uint32_t{1});
        return true;
    }

    std::array<std::uint8_t, kPaddedSymbols> lengths;
    if (!ComputeLengths(freqs, lengths.data())) {
        return false;
    }

    // Canonical order: by length, then by symbol number. Each lane's share of
    // a length is counted first so that the lanes can scatter side by side;
    // the padding (length 0) goes after the n real symbols.
    const std::size_t padded = (n + kLanes - 1) / kLanes * kLanes;
    const std::size_t quarter = padded / kLanes;
    for (std::size_t s = n; s < padded; ++s)
        lengths[s] = 0;
    std::uint32_t next[kMaxCodewordBits + 1][kLanes] = {};
    for (std::size_t i = 0; i < quarter; ++i) {
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            ++next[lengths[lane * quarter + i]][lane];
    }
    std::uint32_t position = 0;
    for (unsigned length = 1; length <= kMaxCodewordBits; ++length) {
        for (std::uint32_t& slot : next[length])
            position += std::exchange(slot, position);
    }
    for (std::uint32_t& slot : next[0])
        position += std::exchange(slot, position);
    std::array<std::uint16_t, kPaddedSymbols> sorted;
    for (std::size_t i = 0; i < quarter; ++i) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const std::size_t s = lane * quarter + i;
            sorted[next[lengths[s]][lane]++] = static_cast<std::uint16_t>(s);
        }
    }

    // Canonical codewords, read MSB first, increase along that order, and
    // the code is complete: each codeword of length <= table_bits fills the
    // next 2^(table_bits - length) primary entries, and the longer ones share
    // prefixes, each prefix a complete subtree of its own.
    std::size_t k = 0;
    std::size_t fill = 0;
    for (; k < n && lengths[sorted[k]] <= table_bits; ++k) {
        const unsigned length = lengths[sorted[k]];
        const std::uint32_t entry = std::uint32_t{sorted[k]} << 16 | length;
        const std::size_t span = std::size_t{1} << (table_bits - length);
        std::fill_n(table.begin() + static_cast<std::ptrdiff_t>(fill), span, entry);
        fill += span;
    }
    const unsigned low_bits = kMaxCodewordBits - table_bits;
    std::uint32_t codeword = static_cast<std::uint32_t>(fill) << low_bits;  // 15 bits, left-aligned
    std::size_t next_subtable = primary_size;
    while (k < n) {
        const std::uint32_t prefix = codeword >> low_bits;
        std::size_t end = k;
        std::uint32_t next_codeword = codeword;
        while (end < n && (next_codeword >> low_bits) == prefix) {
            next_codeword += std::uint32_t{1} << (kMaxCodewordBits - lengths[sorted[end]]);
            ++end;
        }
        // The subtree's deepest codeword is the last one (lengths ascend).
        const unsigned sub_bits = lengths[sorted[end - 1]] - table_bits;
        table[prefix] = static_cast<std::uint32_t>(next_subtable) << 16 | kSubtableFlag | sub_bits;
        std::size_t sub_fill = next_subtable;
        for (; k < end; ++k) {
            const unsigned extra = lengths[sorted[k]] - table_bits;
            const std::uint32_t entry = std::uint32_t{sorted[k]} << 16 | extra;
            const std::size_t span = std::size_t{1} << (sub_bits - extra);
            std::fill_n(table.begin() + static_cast<std::ptrdiff_t>(sub_fill), span, entry);
            sub_fill += span;
        }
        next_subtable += std::size_t{1} << sub_bits;
        codeword = next_codeword;
    }
    return true;
}

}  // namespace korvanthelm::lzms
