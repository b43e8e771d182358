#include "codec/lzms/adaptive_huffman.h"

#include <algorithm>
#include <utility>

namespace korvanthelm::lzms {
namespace {

// The offset codes of the largest block the format allows (1 GiB).
constexpr std::size_t kMaxSymbols = 799;

// Symbol numbers ordered by ascending frequency, ties by ascending number:
// a stable LSD radix sort, 6 bits a pass, over symbols entered in ascending
// order. Frequencies stay small (below about twice the rebuild period), so
// this is one or two passes.
void SortByFrequency(std::span<const std::uint32_t> freqs, std::uint16_t* order,
                     std::uint16_t* scratch) {
    const std::size_t n = freqs.size();
    std::uint32_t max_freq = 0;
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = static_cast<std::uint16_t>(i);
        max_freq = std::max(max_freq, freqs[i]);
    }
    for (unsigned shift = 0;; shift += 6) {
        std::array<std::uint32_t, 64> next{};
        for (std::size_t i = 0; i < n; ++i)
            ++next[(freqs[order[i]] >> shift) & 63];
        std::uint32_t sum = 0;
        for (std::uint32_t& slot : next)
            sum += std::exchange(slot, sum);
        for (std::size_t i = 0; i < n; ++i) {
            scratch[next[(freqs[order[i]] >> shift) & 63]++] = order[i];
        }
        std::copy(scratch, scratch + n, order);
        if (shift >= 26 || (max_freq >> shift) < 64)
            break;
    }
}

// Codeword lengths of the LZMS code for `freqs` (n >= 2). false: some
// codeword would be longer than 15 bits.
bool ComputeCodewordLengths(std::span<const std::uint32_t> freqs, std::uint8_t* lengths) {
    const std::size_t n = freqs.size();
    std::array<std::uint16_t, kMaxSymbols> order;
    std::array<std::uint16_t, kMaxSymbols> scratch;
    SortByFrequency(freqs, order.data(), scratch.data());

    // Two queues: leaves in frequency order, inner nodes in creation order.
    // Inner weights come out non-decreasing, so the front of each queue is
    // its lightest node.
    std::array<std::uint32_t, kMaxSymbols> inner_weight;
    std::array<std::uint16_t, kMaxSymbols> leaf_parent;
    std::array<std::uint16_t, kMaxSymbols> inner_parent;
    std::size_t next_leaf = 0;
    std::size_t next_inner = 0;
    const std::size_t num_inner = n - 1;
    for (std::size_t node = 0; node < num_inner; ++node) {
        std::uint32_t weight = 0;
        for (int pick = 0; pick < 2; ++pick) {
            // On equal weight the leaf goes first; the encoder does the same.
            if (next_leaf < n &&
                (next_inner >= node || freqs[order[next_leaf]] <= inner_weight[next_inner])) {
                weight += freqs[order[next_leaf]];
                leaf_parent[next_leaf++] = static_cast<std::uint16_t>(node);
            } else {
                weight += inner_weight[next_inner];
                inner_parent[next_inner++] = static_cast<std::uint16_t>(node);
            }
        }
        inner_weight[node] = weight;
    }

    // Depths, root (the last inner node) first: a parent is always created
    // after its children.
    std::array<std::uint16_t, kMaxSymbols> inner_depth;
    inner_depth[num_inner - 1] = 0;
    for (std::size_t i = num_inner - 1; i-- > 0;) {
        inner_depth[i] = static_cast<std::uint16_t>(inner_depth[inner_parent[i]] + 1);
    }
    std::array<std::uint32_t, kMaxCodewordBits + 1> count{};
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned depth = inner_depth[leaf_parent[i]] + 1u;
        if (depth > kMaxCodewordBits)
            return false;
        ++count[depth];
    }

    // The depth counts, not the leaves' own depths, decide: the least
    // frequent symbols take the longest codewords.
    std::size_t i = 0;
    for (unsigned length = kMaxCodewordBits; length >= 1; --length) {
        for (std::uint32_t c = 0; c < count[length]; ++c)
            lengths[order[i++]] = static_cast<std::uint8_t>(length);
    }
    return true;
}

}  // namespace

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

    std::array<std::uint8_t, kMaxSymbols> lengths;
    if (!ComputeCodewordLengths(freqs, lengths.data()))
        return false;

    // Canonical order: by length, then by symbol number.
    std::array<std::uint32_t, kMaxCodewordBits + 2> start{};
    for (std::size_t s = 0; s < n; ++s)
        ++start[lengths[s] + 1];
    for (unsigned length = 1; length <= kMaxCodewordBits; ++length)
        start[length + 1] += start[length];
    std::array<std::uint16_t, kMaxSymbols> sorted;
    for (std::size_t s = 0; s < n; ++s)
        sorted[start[lengths[s]]++] = static_cast<std::uint16_t>(s);

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
