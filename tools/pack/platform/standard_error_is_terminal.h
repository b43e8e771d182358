// Whether the packer's standard error is a terminal: progress and the closing
// summary line are for a person watching, not for a build log.
#pragma once

namespace korvanthelm::pack {

// True when standard error is a terminal; false for a file, a pipe or a
// closed descriptor. Never throws.
bool StandardErrorIsTerminal();

}  // namespace korvanthelm::pack
