// What a command reports besides its result: its warnings, said to people on
// standard error as they arise and kept for the `--json` document, or turned
// into the refusal under `--strict`; and where the text for people goes.
#pragma once

#include <cstdio>
#include <vector>

#include "tools/pack/base/json_writer.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/commands/pack_warning.h"

namespace korvanthelm::pack::cli {

class CommandReport {
  public:
    // From --json and --strict on `parsed`.
    explicit CommandReport(const ParsedCommandLine& parsed);

    bool json() const { return json_; }
    // Standard output for the text people and scripts read; standard error
    // with --json, where standard output holds the one document.
    std::FILE* text() const { return json_ ? stderr : stdout; }

    // Under --strict throws PackError "refused (--strict): TEXT"; otherwise
    // prints "korvanthelm-pack: warning: TEXT" and keeps the warning.
    void Warn(const PackWarning& warning);
    // Under --strict throws as Warn would; otherwise does nothing. Lets a
    // command refuse before it prints a verdict the warning would undo.
    void RefuseIfStrict(const PackWarning& warning) const;
    // Warn as a function the commands call.
    WarnFunction Warner();

    // "warnings": [{"kind", "path" (null when none), "message"}...] into the
    // object `json` is writing.
    void WriteWarnings(JsonWriter& json) const;

  private:
    bool json_;
    bool strict_;
    std::vector<PackWarning> warnings_;
};

// Writes `document` (a finished JsonWriter's text) to standard output.
void PrintJson(const JsonWriter& document);

}  // namespace korvanthelm::pack::cli
