// Entry paths and file names shown in the packer's messages.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// `bytes` made printable on one line for messages: the one escaping rule for
// text a file or another program supplies. Well-formed UTF-8 passes through,
// except control characters (C0, DEL and the C1 range U+0080..U+009F) and
// backslashes, whose bytes become \xNN like every byte that is not part of a
// well-formed sequence.
std::string PrintablePath(std::string_view bytes);

// A path of the file system the packer runs on (a tree, an output), for
// messages: as PrintablePath, except that on Windows a backslash, which no
// file name there can hold, stays the separator it is.
std::string PrintableHostPath(std::string_view bytes);

// A text with backslashes of its own, for messages: a text from a Windows
// program or about one (a launcher record, a message box, a command line, a
// fault naming them), or a message line whose quoted parts were made
// printable already, as the one catch and the warnings print it. Any control
// character in it is escaped as PrintablePath does; a backslash, Windows'
// path separator, stays (so an escape already made reads once).
std::string PrintableLine(std::string_view bytes);

}  // namespace korvanthelm::pack
