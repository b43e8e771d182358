// The path rules and the entry registry on wchar_t, the instantiation the
// bootstrapper runs, against the case table the host test runs on char16_t:
// both sides must judge every entry path alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "format/package_path_rules.h"
#include "tests/common/path_rule_cases.h"

namespace korvanthelm::format {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the bootstrapper's wchar_t is UTF-16");

std::wstring Wide(std::u16string_view path) {
    return std::wstring(path.begin(), path.end());
}

std::string Units(std::u16string_view path) {
    std::string out;
    for (char16_t c : path) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(c));
        out += buffer;
    }
    return out.size() > 120 ? out.substr(0, 120) + "..." : out;
}

class PathRulesWide : public testing::TestWithParam<test::PathRuleGroup> {};

TEST_P(PathRulesWide, AcceptsExactlyTheSafePaths) {
    for (const test::PathRuleCase& c : GetParam().cases) {
        const std::wstring wide = Wide(c.path);
        EXPECT_EQ(IsSafePackagePath(std::wstring_view(wide)), c.safe)
            << c.why << " (" << c.path.size() << " units: " << Units(c.path) << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(ByAttack, PathRulesWide, testing::ValuesIn(test::PathRuleGroups()),
                         [](const testing::TestParamInfo<test::PathRuleGroup>& info) {
                             return std::string(info.param.name);
                         });

class PathRulesWideRegistry : public testing::TestWithParam<test::RegistryCase> {};

TEST_P(PathRulesWideRegistry, RefusesOnlyRepeatedKeys) {
    const test::RegistryCase& c = GetParam();
    ASSERT_EQ(c.adds.size(), c.added.size());
    EntryPathRegistry<wchar_t> registry;
    for (std::size_t i = 0; i < c.adds.size(); ++i) {
        // Through a std::wstring, as the extraction holds its entry paths.
        const std::wstring wide = Wide(c.adds[i]);
        EXPECT_EQ(registry.TryAdd(wide), c.added[i]) << "add #" << i << ": " << Units(c.adds[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PathRulesWideRegistry, testing::ValuesIn(test::RegistryCases()),
                         [](const testing::TestParamInfo<test::RegistryCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvanthelm::format
