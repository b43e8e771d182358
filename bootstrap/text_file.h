// Small UTF-8 text files of the installed launcher (its record and build mark).
#pragma once

#include <string>

namespace korvanthelm {

// The first 8192 bytes of the file at `path` as UTF-16: a leading UTF-8 byte
// order mark dropped, trailing CR, LF and spaces dropped, nothing else
// trimmed; malformed UTF-8 comes out as replacement characters. A file that
// cannot be opened with read sharing only (also one open for writing
// elsewhere) reads as empty text. Never fails.
std::wstring ReadUtf8TextFile(const std::wstring& path);

}  // namespace korvanthelm
