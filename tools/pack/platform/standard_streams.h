// The packer's standard output and error carry UTF-8 on every system, byte
// for byte what the Linux packer writes, so scripts and CI logs read the same
// text from both. Nothing to do on Linux.
#pragma once

#include <string>
#include <vector>

namespace korvanthelm::pack {

// On Windows: standard output and error in binary mode (no "\r" added before
// each "\n"), and a console shown UTF-8 (its code page set to 65001 for the
// run and set back at exit). Never throws.
void PrepareStandardStreams();

#ifdef _WIN32
// The UTF-16 arguments wmain gets, as UTF-8 (a lone surrogate in its
// generalized form), the program's name left out.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif

}  // namespace korvanthelm::pack
