// The watcher's --trace output, written by watcher.exe under Wine and read
// back by the packer's `try` on Linux: one line per event, fields separated by
// a tab, each line ended by "\n", UTF-8.
//
//   start PID PARENT COMMANDLINE    a process began (PARENT 0 when unknown)
//   exit PID CODE                   a process ended, with its exit code
//   box PID CAPTION TEXT            a dialog was read and OK pressed
//   ended PID                       still running after the program ended
//                                   and its starts had a second to show: ended
//   timeout                         the time ran out: every process ended
//
// Portable (no <windows.h>): the watcher writes UTF-16 lines through
// TraceLine<wchar_t> before turning them into UTF-8, the reader and its tests
// use TraceLine<char>.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace korvanthelm::watcher {

// A kind of line: its first field, and how many fields it has with it.
struct TraceLineKind {
    std::string_view word;
    std::size_t fields;
};

inline constexpr TraceLineKind kTraceStart{"start", 4};
inline constexpr TraceLineKind kTraceExit{"exit", 3};
inline constexpr TraceLineKind kTraceBox{"box", 4};
inline constexpr TraceLineKind kTraceEnded{"ended", 2};
inline constexpr TraceLineKind kTraceTimeout{"timeout", 1};

inline constexpr char kTraceSeparator = '\t';

// One line of `kind` (without its "\n"): the word, then `values`, each after a
// tab. A tab, CR or LF inside a value (a caption, a message, a command line)
// becomes a space, so every value stays one field of one line.
template <typename Char>
std::basic_string<Char> TraceLine(const TraceLineKind& kind,
                                  std::initializer_list<std::basic_string<Char>> values) {
    std::basic_string<Char> line(kind.word.begin(), kind.word.end());
    for (const std::basic_string<Char>& value : values) {
        line += static_cast<Char>(kTraceSeparator);
        for (const Char unit : value) {
            const bool breaks = unit == static_cast<Char>('\t') ||
                                unit == static_cast<Char>('\r') || unit == static_cast<Char>('\n');
            line += breaks ? static_cast<Char>(' ') : unit;
        }
    }
    return line;
}

}  // namespace korvanthelm::watcher
