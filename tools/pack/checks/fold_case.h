// Unicode simple case folding of entry paths, the way a Windows file system
// compares names, for the packer's check that no two entries of a tree meet
// as one name on a player's disk. The mappings are the C and S lines of the
// Unicode Character Database's CaseFolding.txt, made into a table when the
// packer is built, so the packer needs no Unicode library at run time.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// The simple case folding of `code_point` (one code point for one); the code
// point itself when it has none, and for anything beyond U+10FFFF.
char32_t FoldCodePoint(char32_t code_point);

// `text` with every code point replaced by its simple case folding, so two
// names equal in any letter case, ASCII or not, give the same result. '/'
// stays '/', and nothing else becomes one; a code point never folds across
// U+FFFF, so the result has as many units as `text`. An unpaired surrogate
// passes through unchanged.
std::u16string FoldCase(std::u16string_view text);

}  // namespace korvanthelm::pack
