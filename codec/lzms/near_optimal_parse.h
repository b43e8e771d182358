// Chooses the items of an LZMS block and hands them to a BlockWriter: a
// near-optimal parse. The block is cut into segments of up to
// `segment_length` positions; within one, every way of covering the bytes
// with literals, LZ matches and delta matches (explicit or repeated) found
// there is priced from the coder's state at the segment's start (Huffman
// codeword lengths, decision probabilities), following each path's own
// repeat queues and decision histories, and the cheapest path to the
// segment's end is written. Besides single items, an LZ match followed by
// the literal that breaks it and a repeat of its offset is priced as one
// step (such breaks are everywhere in code, and the best path to the
// match's end is often another one). A match of at least `nice_length`
// bytes ends a segment at once and is taken whole.
//
// Deterministic: integer costs, ties broken by the order of candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/lzms/block_writer.h"
#include "codec/lzms/delta_match_finder.h"
#include "codec/lzms/match_finder.h"

namespace korvanthelm::lzms {

struct ParseSettings {
    unsigned segment_length = 1024;
    unsigned nice_length = 64;  // at most MatchFinder::kMaxMatches - 2
};

// Writes all of `data` as items through `writer`. `lz` and `delta` (which
// may be null: no delta matches) must be fresh sources over `data`.
void ParseBlock(std::span<const std::uint8_t> data, LzMatchSource& lz, DeltaMatchFinder* delta,
                BlockWriter& writer, const ParseSettings& settings);

}  // namespace korvanthelm::lzms
