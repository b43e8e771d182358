// The host's UTF-8 decoder must refuse exactly what the bootstrapper's
// MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS) refuses, or the packer
// would ship a package the bootstrapper calls corrupt. The same table runs
// against the platform's decoder under Wine (tests/windows).
#include "format/utf8_to_utf16.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/common/utf8_cases.h"

namespace korvanthelm::format {
namespace {

TEST(Utf8ToUtf16, DecodesWellFormedAndRefusesEveryIllFormedClass) {
    for (const test::Utf8Case& c : test::Utf8Cases()) {
        std::u16string out = u"stale";
        const bool decoded = Utf8ToUtf16(c.utf8, out);
        EXPECT_EQ(decoded, c.utf16.has_value()) << c.what;
        if (decoded && c.utf16) {
            EXPECT_EQ(out, *c.utf16) << c.what;
        }
    }
}

}  // namespace
}  // namespace korvanthelm::format
