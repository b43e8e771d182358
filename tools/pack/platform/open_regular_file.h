// Opens a file the packer reads as input (a stub, a package, an exe, a
// launcher file), refusing anything that could hang the run or make it read
// without end: a FIFO, a device, a folder, or a file larger than any input the
// format allows.
#pragma once

#include <cstdint>
#include <string>

#include "format/compression_container.h"
#include "format/package_table.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// The largest input file: an exe holding the largest package. That package is
// a 2 GiB table stored verbatim in chunks of the smallest size Windows accepts
// (each with its size field), behind the container header and the 16-byte
// envelope header; the stub with its sections and a signature gets 64 MiB
// (ours is under 1 MiB).
inline constexpr std::uint64_t kMaxPackageFileSize =
    16 + format::kContainerHeaderSize + format::kMaxPackageTableSize +
    format::kMaxPackageTableSize / format::kMinMultiChunkSize * format::kChunkSizeFieldBytes;
inline constexpr std::uint64_t kMaxInputFileSize = kMaxPackageFileSize + (std::uint64_t{64} << 20);
static_assert(kMaxInputFileSize < (std::uint64_t{3} << 30), "a 3 GiB file must be refused");

struct OpenedFile {
    UniqueFd fd;
    std::uint64_t size;  // when it was opened
};

// `path` opened for reading, close-on-exec. The open never blocks (a FIFO
// with no writer opens at once and is then refused). Throws PackError naming
// the path when it cannot be opened or examined, is not a regular file, or
// holds more than `max_size` bytes; nothing is read before these checks.
OpenedFile OpenRegularFile(const std::string& path, std::uint64_t max_size);

// The refusal of a file found to hold more than `max_size` bytes, also when
// it grew past that while being read.
[[noreturn]] void ThrowFileTooLarge(const std::string& path, std::uint64_t max_size);

}  // namespace korvanthelm::pack
