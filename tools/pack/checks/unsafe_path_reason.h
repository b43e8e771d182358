// Why an entry path is unsafe, in words that fit the path at hand: the rules
// of IsSafePackagePath are many (device names, trailing dots, forbidden
// characters, length), and a refusal that lists them all leaves the release
// engineer to guess which one "name .txt" breaks.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// The first rule of format::IsSafePackagePath that `utf8_path` breaks, as a
// phrase naming the part at fault ("\"name .txt\" has a space before its
// first dot, ..."); empty when the path is safe (or not UTF-8, which the
// callers refuse in words of their own). Checks the rules in the order
// IsSafePackagePath applies them, with its own helpers, so the two agree on
// every path. Never throws but for allocation.
std::string UnsafePathReason(std::string_view utf8_path);

}  // namespace korvanthelm::pack
