// The digests of a package, read back from the file `pack` wrote beside it,
// so that `build --package` takes them as one set instead of two hex strings
// typed (or swapped) by hand.
#pragma once

#include <string>
#include <string_view>

#include "tools/pack/pe/assemble_executable.h"

namespace korvanthelm::pack {

// The three digests in `text`, in any of the forms `pack` writes: its
// standard output ("PackageDigest HEX" lines), --digests-cmake
// (set(KORVANTHELM_PACKAGE_SHA256 "HEX") lines), --digests-header (#define
// lines), or the document `pack --json` prints (text whose first character
// past white space is '{': one JSON object with "command": "pack" and the
// three digests, in any order and layout; its other fields are not read). Blank
// lines, lines starting with "//" and lines starting with '#' that are not
// #define are skipped. Throws PackError naming `name` (the file, for the
// message) and the line when a line is none of these, a digest is not 64
// lowercase hex digits, one is given twice, or one of the three is missing.
ExecutableDigests ParseDigestsText(std::string_view text, const std::string& name);

// The same, read from the file at `path`. Throws PackError when it cannot be
// read.
ExecutableDigests ReadDigestsFile(const std::string& path);

}  // namespace korvanthelm::pack
