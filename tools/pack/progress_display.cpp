#include "tools/pack/progress_display.h"

#include <cstdio>

namespace korvanthelm::pack {
namespace {

// Assumed until the first chunk is done: wimlib's LZMS at its default level
// manages 1.5 to 3 MB/s on a build machine of today (the lower figure on
// launcher trees, which are mostly jar and image data).
constexpr double kAssumedBytesPerSecond = 1.5e6;

}  // namespace

ProgressDisplay::ProgressDisplay(std::uint64_t total_bytes, bool enabled) : total_(total_bytes) {
    if (enabled) {
        thread_ = std::thread([this] { Run(); });
    }
}

ProgressDisplay::~ProgressDisplay() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void ProgressDisplay::Update(std::uint64_t done_bytes) {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        done_ = done_bytes;
    }
    wake_.notify_one();
}

void ProgressDisplay::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        Draw(done_, std::chrono::steady_clock::now() - start_);
        wake_.wait_for(lock, std::chrono::seconds(1));
    }
}

void ProgressDisplay::Draw(std::uint64_t done, std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    // Measured over the chunks done so far once there are any.
    const double rate = done > 0 && seconds > 0 ? done / seconds : kAssumedBytesPerSecond;
    const double left = static_cast<double>(total_) / rate - seconds;
    std::fprintf(stderr, "\r\033[Kcompressing: %.1f of %.1f MB, %.0f s", done / 1e6, total_ / 1e6,
                 seconds);
    if (left >= 1) {
        std::fprintf(stderr, ", about %.0f s left", left);
    }
    std::fflush(stderr);
}

}  // namespace korvanthelm::pack
