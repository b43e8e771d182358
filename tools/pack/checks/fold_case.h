// Unicode simple case folding of entry paths, the way a Windows file system
// compares names, for the packer's check that no two entries of a tree meet
// as one name on a player's disk.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// `text` with every code point replaced by its simple case folding (ICU's
// default folding, one code point for one), so two names equal in any
// letter case, ASCII or not, give the same result. '/' stays '/', and
// nothing else becomes one. An unpaired surrogate passes through unchanged.
std::u16string FoldCase(std::u16string_view text);

}  // namespace korvanthelm::pack
