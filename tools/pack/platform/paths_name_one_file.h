// Whether two paths name one file, asked before any work so that an output
// never overwrites an input or another output (outputs_share_a_file.h).
#pragma once

#include <string>

namespace korvanthelm::pack {

// True when `a` and `b` name one file: the same device and inode (on Windows,
// volume and file index) when both exist, so that a link or "x/../x" does not
// hide it; else the same absolute path once "." and ".." and the links of its
// existing folders are resolved (on Windows, compared without regard to case).
// Never throws.
bool PathsNameOneFile(const std::string& a, const std::string& b);

}  // namespace korvanthelm::pack
