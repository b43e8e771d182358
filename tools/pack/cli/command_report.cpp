#include "tools/pack/cli/command_report.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/cli/print_output.h"

namespace korvanthelm::pack::cli {

CommandReport::CommandReport(const ParsedCommandLine& parsed)
    : json_(parsed.Given(OptionName::kJson)), strict_(parsed.Given(OptionName::kStrict)) {}

void CommandReport::RefuseIfStrict(const PackWarning& warning) const {
    if (strict_) {
        throw PackError("refused (--strict): " + warning.text);
    }
}

void CommandReport::Warn(const PackWarning& warning) {
    RefuseIfStrict(warning);
    PrintWarning(warning.text);
    warnings_.push_back(warning);
}

WarnFunction CommandReport::Warner() {
    return [this](const PackWarning& warning) { Warn(warning); };
}

void CommandReport::WriteWarnings(JsonWriter& json) const {
    json.Key("warnings").BeginArray();
    for (const PackWarning& warning : warnings_) {
        json.BeginObject().Key("kind").String(warning.kind).Key("path");
        if (warning.path.empty()) {
            json.Null();
        } else {
            json.String(warning.path);
        }
        json.Key("message").String(warning.text).EndObject();
    }
    json.EndArray();
}

void PrintJson(const JsonWriter& document) {
    const std::string text = document.Finish();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace korvanthelm::pack::cli
