// LZMS block encoder: one chunk in, one raw LZMS block out, as one chunk of
// a Compression API buffer holds it (the format is described at the top of
// lzms_decoder.cpp; how the encoder chooses what to write, in
// near_optimal_parse.h). Portable: no <windows.h>.
//
// Deterministic: the same chunk gives the same block with every compiler,
// on every system and for every thread count. Nothing in the choices
// depends on floating point, addresses, time or scheduling.
#pragma once

#include <cstddef>
#include <span>

namespace korvanthelm::lzms {

// Encodes `chunk` (4..kMaxBlockSize bytes, see lzms_decoder.h) as one LZMS
// block at the start of `out`.
// Returns the block's size (even, >= 4), or 0 when the block would not fit
// in `out` (a container then stores the chunk as it is: pass a span one
// byte shorter than the chunk to get "strictly smaller or 0"), when the
// chunk has fewer than 4 bytes or more than kMaxBlockSize. On 0, `out`
// holds garbage.
// `threads` (1 or more) share the work on this one chunk: with 2 or more,
// LZ match finding runs on a thread of its own ahead of the parse (more are
// not used yet). The block's bytes do not depend on it.
// Throws std::bad_alloc when its working memory cannot be had: a filtered
// copy of the chunk, 8 bytes per position of the match finder's window
// (the chunk's size rounded up to a power of two, at most 16 MiB) and up
// to 22 MiB of tables, so about 215 MiB for a 64 MiB chunk (plus the
// batches of matches in flight with threads). Thread-safe (no shared
// state).
std::size_t EncodeBlock(std::span<const std::byte> chunk, std::span<std::byte> out,
                        unsigned threads = 1);

}  // namespace korvanthelm::lzms
