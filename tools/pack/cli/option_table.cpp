#include "tools/pack/cli/option_table.h"

namespace korvanthelm::pack::cli {
namespace {

using enum OptionName;
using enum ValueKind;

constexpr std::string_view kJobsWords = "needs a number from 1 to 1024";
static_assert(kMaxJobs == 1024, "kJobsWords names kMaxJobs");

// clang-format off
constexpr OptionRow kOptions[] = {
    // name             spelling                  short  kind           pack   build  bad value
    {kOutput,            "--output",               "-o",  kFile,         true,  true,  {}},
    {kLauncherExe,       "--launcher-exe",         {},    kFile,         true,  true,  {}},
    {kLauncherJar,       "--launcher-jar",         {},    kFile,         true,  true,  {}},
    {kDigestsCmake,      "--digests-cmake",        {},    kFile,         true,  false, {}},
    {kDigestsHeader,     "--digests-header",       {},    kFile,         true,  false, {}},
    {kJobs,              "--jobs",                 "-j",  kNumber,       true,  true,  kJobsWords},
    {kPackage,           "--package",              {},    kFile,         false, true,  {}},
    {kLauncherExeSha256, "--launcher-exe-sha256",  {},    kText,         false, true,  {}},
    {kLauncherJarSha256, "--launcher-jar-sha256",  {},    kText,         false, true,  {}},
    {kPackageSha256,     "--package-sha256",       {},    kText,         false, true,  {}},
    {kStub,              "--stub",                 {},    kFile,         false, true,  {}, /*for_verify=*/true},
    {kNoVerify,          "--no-verify",            {},    kNone,         false, true,  {}},
    {kSignCert,          "--sign-cert",            {},    kFile,         false, true,  {}},
    {kSignKey,           "--sign-key",             {},    kText,         false, true,  {}},
    {kSignPkcs11Module,  "--sign-pkcs11-module",   {},    kFile,         false, true,  {}},
    {kSignCommand,       "--sign-command",         {},    kText,         false, true,  {}},
    {kTimestampUrl,      "--timestamp-url",        {},    kRepeatedText, false, true,  {}},
    {kRequireSignedTree, "--require-signed-tree",  {},    kNone,         false, true,  {}},
};

constexpr CommandRow kCommands[] = {
    {Command::kPack,  "pack",  "needs a file name"},
    {Command::kBuild, "build", "needs a value"},
    {Command::kVerify, "verify", "needs a file name"},
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
static_assert(kCommands[static_cast<std::size_t>(Command::kPack)].command == Command::kPack &&
              kCommands[static_cast<std::size_t>(Command::kBuild)].command == Command::kBuild &&
              kCommands[static_cast<std::size_t>(Command::kVerify)].command == Command::kVerify);

}  // namespace

const CommandRow& CommandRowOf(Command command) {
    return kCommands[static_cast<std::size_t>(command)];
}

const OptionRow* FindOption(Command command, std::string_view arg) {
    for (const OptionRow& row : kOptions) {
        const bool taken = command == Command::kPack    ? row.for_pack
                           : command == Command::kBuild ? row.for_build
                                                        : row.for_verify;
        if (taken &&
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
