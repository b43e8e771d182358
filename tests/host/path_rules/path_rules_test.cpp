// The path rules and the entry registry on char16_t, as the packer uses them,
// against the shared case table (the Windows test runs the same table on
// wchar_t).
#include <gtest/gtest.h>

#include <string>

#include "format/package_path_rules.h"
#include "tests/common/path_rule_cases.h"

namespace korvanthelm::format {
namespace {

using test::PathRuleGroup;
using test::RegistryCase;

// Code units as hex, so control characters and surrogates show in failures.
std::string Units(std::u16string_view path) {
    std::string out;
    for (char16_t c : path) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(c));
        out += buffer;
    }
    return out.size() > 120 ? out.substr(0, 120) + "..." : out;
}

class PathRules : public testing::TestWithParam<PathRuleGroup> {};

TEST_P(PathRules, AcceptsExactlyTheSafePaths) {
    for (const test::PathRuleCase& c : GetParam().cases) {
        EXPECT_EQ(IsSafePackagePath(std::u16string_view(c.path)), c.safe)
            << c.why << " (" << c.path.size() << " units: " << Units(c.path) << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(ByAttack, PathRules, testing::ValuesIn(test::PathRuleGroups()),
                         [](const testing::TestParamInfo<PathRuleGroup>& info) {
                             return std::string(info.param.name);
                         });

class PathRulesRegistry : public testing::TestWithParam<RegistryCase> {};

TEST_P(PathRulesRegistry, RefusesOnlyRepeatedKeys) {
    const RegistryCase& c = GetParam();
    ASSERT_EQ(c.adds.size(), c.added.size());
    EntryPathRegistry<char16_t> registry;
    for (std::size_t i = 0; i < c.adds.size(); ++i) {
        EXPECT_EQ(registry.TryAdd(c.adds[i]), c.added[i])
            << "add #" << i << ": " << Units(c.adds[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PathRulesRegistry, testing::ValuesIn(test::RegistryCases()),
                         [](const testing::TestParamInfo<RegistryCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(PathRulesRegistryLifetime, NewRegistryRemembersNothing) {
    {
        EntryPathRegistry<char16_t> first;
        ASSERT_TRUE(first.TryAdd(u"KORVANTHELM/KORVANTHELM.exe"));
    }
    EntryPathRegistry<char16_t> second;
    EXPECT_TRUE(second.TryAdd(u"korvanthelm/korvanthelm.exe"));
}

// A refused add leaves the registry as it was.
TEST(PathRulesRegistryLifetime, RefusedAddChangesNothing) {
    EntryPathRegistry<char16_t> registry;
    ASSERT_TRUE(registry.TryAdd(u"a/B"));
    ASSERT_FALSE(registry.TryAdd(u"A/b"));
    EXPECT_FALSE(registry.TryAdd(u"a/b"));
    EXPECT_TRUE(registry.TryAdd(u"a/b/c"));
}

}  // namespace
}  // namespace korvanthelm::format
