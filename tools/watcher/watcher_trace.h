// The watcher's --trace output, written by watcher.exe under Wine and read
// back by the packer's `try` on Linux: one line per event, fields separated by
// a tab, each line ended by "\n", UTF-8.
//
//   start PID PARENT COMMANDLINE    a process began (PARENT 0 when unknown)
//   exit PID CODE                   a process ended, with its exit code
//   box PID CAPTION TEXT            a dialog was read and OK pressed
//   crash PID CODE                  an exception nobody handled ends PID
//   ended PID                       still running after the program ended
//                                   and its starts had a second to show: ended
//   timeout                         the time ran out: every process ended
//
// Texts are exact: a backslash, tab, CR or LF in them is written \\, \t, \r
// or \n, and TraceFieldText turns them back.
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
inline constexpr TraceLineKind kTraceCrash{"crash", 3};
inline constexpr TraceLineKind kTraceEnded{"ended", 2};
inline constexpr TraceLineKind kTraceTimeout{"timeout", 1};

inline constexpr char kTraceSeparator = '\t';

// One line of `kind` (without its "\n"): the word, then `values`, each after a
// tab. A backslash, tab, CR or LF inside a value (a caption, a message, a
// command line) is escaped, so every value stays one field of one line and
// comes back exact.
template <typename Char>
std::basic_string<Char> TraceLine(const TraceLineKind& kind,
                                  std::initializer_list<std::basic_string<Char>> values) {
    std::basic_string<Char> line(kind.word.begin(), kind.word.end());
    for (const std::basic_string<Char>& value : values) {
        line += static_cast<Char>(kTraceSeparator);
        for (const Char unit : value) {
            const char escape = unit == static_cast<Char>('\\')   ? '\\'
                                : unit == static_cast<Char>('\t') ? 't'
                                : unit == static_cast<Char>('\r') ? 'r'
                                : unit == static_cast<Char>('\n') ? 'n'
                                                                  : '\0';
            if (escape == '\0') {
                line += unit;
            } else {
                line += static_cast<Char>('\\');
                line += static_cast<Char>(escape);
            }
        }
    }
    return line;
}

// A text field of a trace line as it was before TraceLine escaped it. A
// backslash before anything else, or at the end, stands for itself.
inline std::string TraceFieldText(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            text += field[i];
            continue;
        }
        const char next = field[++i];
        text += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    }
    return text;
}

}  // namespace korvanthelm::watcher
