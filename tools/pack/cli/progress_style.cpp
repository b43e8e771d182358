#include "tools/pack/cli/progress_style.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "tools/pack/platform/this_process.h"

namespace korvanthelm::pack::cli {

ProgressStyle ProgressStyleForStandardError() {
    return StandardErrorIsTerminal() ? ProgressStyle::kTerminal : ProgressStyle::kLines;
}

std::chrono::milliseconds ProgressLineInterval() {
    const char* const given = std::getenv("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING");
    if (given == nullptr) {
        return kDefaultLineInterval;
    }
    const std::string_view text(given);
    unsigned milliseconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), milliseconds);
    if (error != std::errc{} || end != text.data() + text.size() || milliseconds < 1 ||
        milliseconds > 60000) {
        return kDefaultLineInterval;
    }
    return std::chrono::milliseconds(milliseconds);
}

}  // namespace korvanthelm::pack::cli
