// A whole Compression API buffer (LZMS, buffer mode) decoded into place: the
// container reader of format/ for the framing, our LZMS block decoder for
// each compressed chunk, stored chunks copied. The product falls back on it
// where the system has no decompressor of its own (Wine, Proton, Windows
// before 8) or where the system's refuses; the stand-in cabinet.dll is built
// on it too. Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <span>

#include "format/compression_container.h"

namespace korvanthelm::codec {

// Every chunk of `layout` into `out`, which holds exactly layout.total_size
// bytes. true: `out` holds the data. false: a chunk did not decode (or the
// decoder's working memory could not be had); `out` holds partial output.
// Does not throw.
bool DecodeContainerChunks(const format::ContainerLayout& layout,
                           std::span<std::byte> out) noexcept;

// `buffer` checked by ParseContainer and decoded into `out`. true only when
// the buffer is valid, its total size equals out.size() exactly and every
// chunk decodes. false: `out` holds garbage. Working memory is the decoder's
// (WorkingMemoryForTesting in codec/lzms) plus the chunk list, one record
// per 64 MiB of a package. The chunk list's allocation failure passes on as
// std::bad_alloc; nothing else throws.
bool DecodeContainer(std::span<const std::byte> buffer, std::span<std::byte> out);

}  // namespace korvanthelm::codec
