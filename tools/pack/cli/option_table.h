// The packer's one option table: every option of every command once, with its
// spellings, the kind of value it takes, the commands that take it and the
// words for a missing or bad value. Parsing and refusals come from here, so
// two commands never read the same option two ways.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvanthelm::pack::cli {

// The commands that take options.
enum class Command { kPack, kBuild, kList, kVerify, kTry };

enum class OptionName {
    kOutput,
    kLauncherExe,
    kLauncherJar,
    kDigestsCmake,
    kDigestsHeader,
    kJobs,
    kPackage,
    kLauncherExeSha256,
    kLauncherJarSha256,
    kPackageSha256,
    kStub,
    kStructureOnly,
    kNoVerify,
    kSignCert,
    kSignKey,
    kSignPkcs11Module,
    kSignCommand,
    kTimestampUrl,
    kRequireSignedTree,
    kDigests,
    kJson,
    kStrict,
    kTimeout,
    kKeep,
    kTree,
};
inline constexpr std::size_t kOptionCount = static_cast<std::size_t>(OptionName::kTree) + 1;

enum class ValueKind {
    kNone,          // a switch
    kFile,          // a path, not empty
    kText,          // any text, not empty
    kNumber,        // a number from 1 to kMaxJobs
    kRepeatedText,  // any text, not empty; may be given again, each one kept
    kSeconds,       // a number of seconds from 1 to kMaxTimeoutSeconds
};

// A table of at most 2 GiB has at most 32 chunks of 64 MiB; far more threads
// than that is a typing mistake.
inline constexpr unsigned kMaxJobs = 1024;
// One start of KORVANTHELM.exe that takes an hour is a hang, whatever the
// machine.
inline constexpr unsigned kMaxTimeoutSeconds = 3600;

struct OptionRow {
    OptionName name;
    std::string_view spelling;        // "--output"
    std::string_view short_spelling;  // "-o", or empty
    ValueKind kind;
    bool for_pack;
    bool for_build;
    bool for_list;
    bool for_verify;
    bool for_try;
    // Said after the spelling when the value is missing or bad; empty: the
    // command's own words (CommandRow::missing_value).
    std::string_view bad_value;
};

struct CommandRow {
    Command command;
    std::string_view name;           // as typed: "pack"
    std::string_view missing_value;  // "needs a file name"
};

const CommandRow& CommandRowOf(Command command);

// The row `command` takes under the exact spelling `arg`; nullptr when it
// takes none (no prefixes, no "--name=value", case counts).
const OptionRow* FindOption(Command command, std::string_view arg);

// What follows the spelling when `row`'s value is missing or bad.
std::string_view BadValueWords(Command command, const OptionRow& row);

}  // namespace korvanthelm::pack::cli
