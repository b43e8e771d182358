// Entry paths and file names shown in the packer's messages.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// `bytes` made printable on one line for messages: well-formed UTF-8 passes
// through, except control characters and backslashes, which become \xNN like every
// byte that is not part of a well-formed sequence.
std::string PrintablePath(std::string_view bytes);

// A path of the file system the packer runs on (a tree, an output), for
// messages: as PrintablePath, except that on Windows a backslash, which no
// file name there can hold, stays the separator it is.
std::string PrintableHostPath(std::string_view bytes);

// A text from a Windows program or about one (a launcher record, a message
// box, a command line, a fault naming them), for messages: as
// PrintablePath, except that a backslash, Windows' path separator, stays.
std::string PrintableWindowsText(std::string_view bytes);

}  // namespace korvanthelm::pack
