#include "tools/pack/cli/parse_command_line.h"

#include <charconv>

namespace korvanthelm::pack::cli {
namespace {

bool AcceptsValue(const OptionRow& row, std::string_view value, unsigned& number) {
    if (row.kind != ValueKind::kNumber && row.kind != ValueKind::kSeconds) {
        return !value.empty();
    }
    const unsigned most = row.kind == ValueKind::kNumber ? kMaxJobs : kMaxTimeoutSeconds;
    const char* const end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, number);
    return error == std::errc{} && stop == end && number >= 1 && number <= most;
}

}  // namespace

bool IsHelp(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

ParsedCommandLine ParseCommandLine(Command command, std::span<const std::string_view> args) {
    ParsedCommandLine parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (IsHelp(arg)) {
            parsed.help = true;
            return parsed;
        }
        const OptionRow* const row = FindOption(command, arg);
        if (row == nullptr) {
            if (arg.size() > 1 && arg.front() == '-') {
                parsed.problem = "unknown option " + std::string(arg);
                return parsed;
            }
            parsed.positional.emplace_back(arg);
            continue;
        }
        std::vector<std::string>& given = parsed.values[static_cast<std::size_t>(row->name)];
        if (!given.empty() && row->kind != ValueKind::kRepeatedText) {
            parsed.problem = std::string(arg) + " given twice";
            return parsed;
        }
        if (row->kind == ValueKind::kNone) {
            given.emplace_back();
            continue;
        }
        const std::string_view value = i + 1 < args.size() ? args[i + 1] : std::string_view();
        unsigned number = 0;
        if (!AcceptsValue(*row, value, number)) {
            parsed.problem = std::string(arg) + " " + std::string(BadValueWords(command, *row));
            return parsed;
        }
        if (row->kind == ValueKind::kNumber) {
            parsed.jobs = number;
        } else if (row->kind == ValueKind::kSeconds) {
            parsed.seconds = number;
        }
        given.emplace_back(value);
        ++i;
    }
    return parsed;
}

}  // namespace korvanthelm::pack::cli
