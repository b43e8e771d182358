// How pack and build show the compression's progress, from where standard
// error goes.
#pragma once

#include <chrono>

#include "tools/pack/compress/progress_display.h"

namespace korvanthelm::pack::cli {

// kTerminal when standard error is a terminal, else kLines (a build log).
ProgressStyle ProgressStyleForStandardError();

// kDefaultLineInterval, or the milliseconds in the environment variable
// KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING (1 to 60000): the tests see the
// lines of a log without compressing for several seconds.
std::chrono::milliseconds ProgressLineInterval();

}  // namespace korvanthelm::pack::cli
