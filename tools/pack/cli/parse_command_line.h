// A command's arguments, read through the option table into the values
// given, the positional arguments, or the one refusal.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/cli/option_table.h"

namespace korvanthelm::pack::cli {

struct ParsedCommandLine {
    bool help = false;    // --help or -h came first; nothing else was judged after it
    std::string problem;  // not empty: the command line is refused with these words
    std::vector<std::string> positional;
    // Per OptionName, every value given in order; a switch given holds one
    // empty text.
    std::array<std::vector<std::string>, kOptionCount> values;
    unsigned jobs = 0;     // the value of --jobs as a number; 0 when not given
    unsigned seconds = 0;  // the value of --timeout as a number; 0 when not given

    bool Given(OptionName name) const { return !values[Index(name)].empty(); }
    // The single value of `name`, or an empty text when it was not given.
    std::string Text(OptionName name) const {
        return Given(name) ? values[Index(name)].front() : std::string();
    }
    const std::vector<std::string>& All(OptionName name) const { return values[Index(name)]; }

  private:
    static std::size_t Index(OptionName name) { return static_cast<std::size_t>(name); }
};

bool IsHelp(std::string_view arg);

// Reads `args` (after the command word) left to right: a help word ends the
// reading with help set; the first mistake ends it with `problem` set: an
// option `command` does not take ("unknown option X"), one given twice other
// than a repeatable one ("X given twice"), a missing or bad value ("X " and
// the table's words). Words starting with '-' that are not options are
// mistakes; the rest ("-" and empty words too) are positional. Never throws
// PackError.
ParsedCommandLine ParseCommandLine(Command command, std::span<const std::string_view> args);

}  // namespace korvanthelm::pack::cli
