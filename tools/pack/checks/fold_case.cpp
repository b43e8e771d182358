#include "tools/pack/checks/fold_case.h"

#include <cstdint>
#include <iterator>

#include "tools/pack/checks/case_folding_table.h"

namespace korvanthelm::pack {
namespace {

using case_folding::kRuns;
using case_folding::Run;

constexpr char32_t kSlash = U'/';
constexpr char32_t kLastBmp = 0xFFFF;
constexpr char32_t kLastCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(char32_t code_point) {
    return code_point >= 0xD800 && code_point <= 0xDFFF;
}

// Index of "no run": past the end of the table.
constexpr std::size_t kNoRun = std::size(kRuns);

// The index of the run whose range holds `code_point`, or kNoRun. Indices,
// not pointers: GCC will not compare a pointer into the table with nullptr
// in a constant expression, and the static_asserts below evaluate this.
constexpr std::size_t FindRun(char32_t code_point) {
    // The last run starting at or before the code point is the only one
    // that can hold it: the runs are sorted and do not overlap.
    std::size_t low = 0;                  // every run before `low` starts at or before it
    std::size_t high = std::size(kRuns);  // every run from `high` on starts after it
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (kRuns[middle].first <= code_point) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == 0) {
        return kNoRun;
    }
    const Run& run = kRuns[low - 1];
    if (code_point > run.last || (code_point - run.first) % run.step != 0) {
        return kNoRun;
    }
    return low - 1;
}

constexpr char32_t Fold(char32_t code_point) {
    const std::size_t index = FindRun(code_point);
    if (index == kNoRun) {
        return code_point;
    }
    return static_cast<char32_t>(static_cast<std::int64_t>(code_point) + kRuns[index].delta);
}

// What FoldCase and the entry-path checks rely on, proved over the whole
// table each build, whatever CaseFolding.txt it was made from.
constexpr bool RunsAreSound() {
    char32_t next_free = 0;  // the first code point no earlier run reaches
    for (const Run& run : kRuns) {
        if (run.first < next_free || run.last < run.first || run.last > kLastCodePoint ||
            (run.step != 1 && run.step != 2) || (run.last - run.first) % run.step != 0) {
            return false;
        }
        next_free = run.last + 1;
        for (char32_t c = run.first; c <= run.last; c += run.step) {
            const std::int64_t target = static_cast<std::int64_t>(c) + run.delta;
            // A fold to or from '/' would join or split path steps; one to a
            // surrogate or across U+FFFF would change how the name is coded.
            if (target < 0 || target > kLastCodePoint || target == kSlash || c == kSlash ||
                IsSurrogate(static_cast<char32_t>(target)) || IsSurrogate(c) ||
                (c > kLastBmp) != (target > kLastBmp) || target == c) {
                return false;
            }
        }
    }
    return true;
}

static_assert(RunsAreSound());
static_assert(Fold(U'A') == U'a' && Fold(U'Z') == U'z' && Fold(U'a') == U'a');
static_assert(Fold(U'/') == U'/' && Fold(U'@') == U'@' && Fold(U'[') == U'[');
static_assert(Fold(U'Ж') == U'ж' && Fold(U'ǅ') == U'ǆ' && Fold(U'Σ') == U'σ' && Fold(U'ς') == U'σ');
// From an S line: the capital sharp s folds to "ß", never to "ss".
static_assert(Fold(U'ẞ') == U'ß' && Fold(U'ß') == U'ß');
// Only the Turkic (T) lines fold the dotted capital I to "i".
static_assert(Fold(U'İ') == U'İ' && Fold(U'ı') == U'ı');
static_assert(Fold(U'\U00010400') == U'\U00010428');

}  // namespace

char32_t FoldCodePoint(char32_t code_point) {
    return Fold(code_point);
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string folded;
    folded.reserve(text.size());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        const char16_t unit = text[i++];
        char32_t code_point = unit;
        const bool lead = unit >= 0xD800 && unit <= 0xDBFF;
        if (lead && i < size && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
            code_point = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i] - 0xDC00);
            ++i;
        }
        // Simple folding (one code point for one) rather than full folding,
        // which would make "ß" into "ss": a file system compares name units,
        // it does not expand them.
        const char32_t fold = Fold(code_point);
        if (fold <= kLastBmp) {
            folded.push_back(static_cast<char16_t>(fold));
        } else {
            const char32_t offset = fold - 0x10000;
            folded.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            folded.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return folded;
}

}  // namespace korvanthelm::pack
