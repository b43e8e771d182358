// UTF-16 to UTF-8 for the demo's text files (the log and the launcher record).
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::demo {

// Unpaired surrogates become U+FFFD, so a text always converts: a record or a
// log line is never dropped over one bad unit.
std::string ToUtf8(std::wstring_view text);

}  // namespace korvanthelm::demo
