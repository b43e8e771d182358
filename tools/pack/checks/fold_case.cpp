#include "tools/pack/checks/fold_case.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <cstdint>

namespace korvanthelm::pack {

std::u16string FoldCase(std::u16string_view text) {
    std::u16string folded;
    folded.reserve(text.size());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        char32_t unit = text[i++];
        UChar32 code_point = static_cast<UChar32>(unit);
        if (U16_IS_LEAD(unit) && i < size && U16_IS_TRAIL(text[i])) {
            code_point = U16_GET_SUPPLEMENTARY(unit, text[i]);
            ++i;
        }
        // Simple folding (one code point for one) rather than full folding,
        // which would make "ß" into "ss": a file system compares name units,
        // it does not expand them.
        const UChar32 fold = u_foldCase(code_point, U_FOLD_CASE_DEFAULT);
        if (fold <= 0xFFFF) {
            folded.push_back(static_cast<char16_t>(fold));
        } else {
            folded.push_back(static_cast<char16_t>(U16_LEAD(fold)));
            folded.push_back(static_cast<char16_t>(U16_TRAIL(fold)));
        }
    }
    return folded;
}

}  // namespace korvanthelm::pack
