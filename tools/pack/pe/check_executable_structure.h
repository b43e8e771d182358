// The checks a finished executable of another version can be given: without
// that version's stub it cannot be assembled again, so its structure is
// checked instead, field by field, for what the bootstrapper and Windows
// rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::pack {

// Data directories a PE image can have; the loader ignores a count above it
// and a stub with more was not linked by our toolchain.
inline constexpr std::uint32_t kMaxDataDirectories = 16;

// Returns normally when `exe` is a 64-bit PE image with at most 16 data
// directories, every section's stored bytes inside the file, every data
// directory but the certificate table inside a section or the headers, the resource
// and relocation directories each at the start of a section, a CheckSum
// that matches the file, a digest slot of this packer's layout, filled, with
// a version text of printable ASCII ended by a zero and each digest text
// exactly 64 lowercase hexadecimal digits followed by a zero unit, and the
// package resource RT_RCDATA 101 present once, in language 1033. Throws
// PackError "refused: ..." (or the reader's "malformed executable: ...",
// "not a KORVANTHELM executable: ...") naming the first check that fails.
void CheckExecutableStructure(std::span<const std::byte> exe);

}  // namespace korvanthelm::pack
