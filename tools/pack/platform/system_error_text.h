// The system's words for an error code that a platform operation handed up
// (errno on Linux, GetLastError's code on Windows), for the floors above,
// which name the cause of a refusal without knowing which system they run on.
#pragma once

#include <string>

namespace korvanthelm::pack {

// strerror's text on Linux; FormatMessageW's text in UTF-8 on Windows.
std::string SystemErrorText(int error);

}  // namespace korvanthelm::pack
