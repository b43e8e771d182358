#include "tools/pack/cli/option_table.h"

namespace korvanthelm::pack::cli {
namespace {

using enum OptionName;
using enum ValueKind;

constexpr std::string_view kJobsWords = "needs a number from 1 to 1024";
static_assert(kMaxJobs == 1024, "kJobsWords names kMaxJobs");
constexpr std::string_view kSecondsWords = "needs a number of seconds from 1 to 3600";
static_assert(kMaxTimeoutSeconds == 3600, "kSecondsWords names kMaxTimeoutSeconds");

// clang-format off
constexpr OptionRow kOptions[] = {
    // name             spelling                  short  kind           pack   build  list   verify try    bad value
    {kOutput,            "--output",               "-o",  kFile,         true,  true,  false, false, false, {}},
    {kLauncherExe,       "--launcher-exe",         {},    kFile,         true,  true,  false, false, false, {}},
    {kLauncherJar,       "--launcher-jar",         {},    kFile,         true,  true,  false, false, false, {}},
    {kDigestsCmake,      "--digests-cmake",        {},    kFile,         true,  false, false, false, false, {}},
    {kDigestsHeader,     "--digests-header",       {},    kFile,         true,  false, false, false, false, {}},
    {kJobs,              "--jobs",                 "-j",  kNumber,       true,  true,  false, true,  false, kJobsWords},
    {kPackage,           "--package",              {},    kFile,         false, true,  false, false, false, {}},
    {kLauncherExeSha256, "--launcher-exe-sha256",  {},    kText,         false, true,  false, false, false, {}},
    {kLauncherJarSha256, "--launcher-jar-sha256",  {},    kText,         false, true,  false, false, false, {}},
    {kPackageSha256,     "--package-sha256",       {},    kText,         false, true,  false, false, false, {}},
    {kStub,              "--stub",                 {},    kFile,         false, true,  false, true,  false, {}},
    {kStructureOnly,     "--structure-only",       {},    kNone,         false, false, false, true,  false, {}},
    {kNoVerify,          "--no-verify",            {},    kNone,         false, true,  false, false, false, {}},
    {kSignCert,          "--sign-cert",            {},    kFile,         false, true,  false, false, false, {}},
    {kSignKey,           "--sign-key",             {},    kText,         false, true,  false, false, false, {}},
    {kSignPkcs11Module,  "--sign-pkcs11-module",   {},    kFile,         false, true,  false, false, false, {}},
    {kSignCommand,       "--sign-command",         {},    kText,         false, true,  false, false, false, {}},
    {kTimestampUrl,      "--timestamp-url",        {},    kRepeatedText, false, true,  false, false, false, {}},
    {kRequireSignedTree, "--require-signed-tree",  {},    kNone,         false, true,  false, false, false, {}},
    {kDigests,           "--digests",              {},    kFile,         false, true,  false, false, false, {}},
    {kJson,              "--json",                 {},    kNone,         true,  true,  true,  true,  true,  {}},
    {kStrict,            "--strict",               {},    kNone,         true,  true,  true,  true,  false, {}},
    {kTimeout,           "--timeout",              {},    kSeconds,      false, false, false, false, true,  kSecondsWords},
    {kKeep,              "--keep",                 {},    kFile,         false, false, false, false, true,  {}},
    {kTree,              "--tree",                 {},    kFile,         false, false, false, true,  false, {}},
};

constexpr CommandRow kCommands[] = {
    {Command::kPack,   "pack",   "needs a file name"},
    {Command::kBuild,  "build",  "needs a value"},
    {Command::kList,   "list",   "needs a value"},
    {Command::kVerify, "verify", "needs a file name"},
    {Command::kTry,    "try",    "needs a folder name"},
};
// clang-format on

// Each option has exactly one row, at the index of its name, so that no
// option is listed twice or forgotten.
constexpr bool EveryNameHasItsRow() {
    for (std::size_t i = 0; i < std::size(kOptions); ++i) {
        if (static_cast<std::size_t>(kOptions[i].name) != i) {
            return false;
        }
    }
    return std::size(kOptions) == kOptionCount;
}
static_assert(EveryNameHasItsRow());
// CommandRowOf indexes by the command.
constexpr bool EveryCommandHasItsRow() {
    for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        if (static_cast<std::size_t>(kCommands[i].command) != i) {
            return false;
        }
    }
    return std::size(kCommands) == static_cast<std::size_t>(Command::kTry) + 1;
}
static_assert(EveryCommandHasItsRow());

bool TakenBy(const OptionRow& row, Command command) {
    switch (command) {
        case Command::kPack:
            return row.for_pack;
        case Command::kBuild:
            return row.for_build;
        case Command::kList:
            return row.for_list;
        case Command::kVerify:
            return row.for_verify;
        case Command::kTry:
            return row.for_try;
    }
    return false;
}

}  // namespace

const CommandRow& CommandRowOf(Command command) {
    return kCommands[static_cast<std::size_t>(command)];
}

const OptionRow* FindOption(Command command, std::string_view arg) {
    for (const OptionRow& row : kOptions) {
        if (TakenBy(row, command) &&
            (arg == row.spelling || (!row.short_spelling.empty() && arg == row.short_spelling))) {
            return &row;
        }
    }
    return nullptr;
}

std::string_view BadValueWords(Command command, const OptionRow& row) {
    return row.bad_value.empty() ? CommandRowOf(command).missing_value : row.bad_value;
}

}  // namespace korvanthelm::pack::cli
