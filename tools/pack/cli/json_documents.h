// The `--json` documents of pack, build, list and verify: one object each on
// standard output, its fields a contract with the scripts that read them
// (docs/output-for-machines.md). Keys are lower_snake_case; a field the
// command cannot know is null rather than left out.
#pragma once

#include <string>

#include "tools/pack/base/json_writer.h"
#include "tools/pack/cli/command_report.h"
#include "tools/pack/commands/build_executable.h"
#include "tools/pack/commands/examine_package.h"
#include "tools/pack/commands/pack_launcher_tree.h"
#include "tools/pack/commands/try_executable.h"

namespace korvanthelm::pack::cli {

JsonWriter PackDocument(const PackOptions& options, const PackResult& result,
                        const CommandReport& report);
JsonWriter BuildDocument(const BuildOptions& options, const BuildResult& result,
                         const CommandReport& report);
JsonWriter ListDocument(const std::string& path, const ExaminedPackage& package,
                        const CommandReport& report);
// Also for a signed file changed after signing: "ok" false and the refusal.
// `tree`: the tree the package was proven to be made from (--tree); empty
// when none was asked for.
JsonWriter VerifyDocument(const std::string& path, const VerifiedFile& verified,
                          const std::string& tree, const CommandReport& report);
// The whole `try` report; "ok" false when a start did not behave; its
// warnings (home_not_shielded) as the other documents carry theirs.
JsonWriter TryDocument(const TryResult& result, const CommandReport& report);

}  // namespace korvanthelm::pack::cli
