#include "tools/pack/compress/progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvanthelm::pack {
namespace {

// Assumed for one thread until the first chunk is done: wimlib's LZMS at its
// default level manages 1.5 to 3 MB/s on a build machine of today (the lower
// figure on launcher trees, which are mostly jar and image data).
constexpr double kAssumedBytesPerSecond = 1.5e6;

// The time left while a chunk still runs but the countdown ran out: above 0,
// below what is shown.
constexpr double kStillRunningSeconds = 0.01;

}  // namespace

CompressionProgress::CompressionProgress(std::uint64_t total_bytes, std::size_t total_chunks,
                                         unsigned jobs)
    : total_bytes_(total_bytes), total_chunks_(total_chunks), jobs_(std::max(1u, jobs)) {}

void CompressionProgress::ChunkStarted(std::size_t index, std::uint64_t bytes,
                                       Clock::time_point now) {
    running_[index] = Running{bytes, now};
}

void CompressionProgress::ChunkFinished(std::size_t index, Clock::time_point now) {
    const auto it = running_.find(index);
    if (it == running_.end()) {
        return;
    }
    finished_bytes_ += it->second.bytes;
    ++finished_chunks_;
    finished_time_ += now - it->second.start;
    running_.erase(it);
}

CompressionProgress::Estimate CompressionProgress::At(Clock::time_point now) {
    const double finished_seconds = std::chrono::duration<double>(finished_time_).count();
    const double rate = finished_bytes_ > 0 && finished_seconds > 0
                            ? static_cast<double>(finished_bytes_) / finished_seconds
                            : kAssumedBytesPerSecond;
    std::uint64_t done = finished_bytes_;
    for (const auto& [index, chunk] : running_) {
        const double seconds = std::chrono::duration<double>(now - chunk.start).count();
        // A chunk is not done until wimlib says so, however long it takes.
        const std::uint64_t cap = chunk.bytes - chunk.bytes / 20;
        done += std::min(cap, static_cast<std::uint64_t>(std::max(0.0, seconds * rate)));
    }
    if (finished_chunks_ == total_chunks_) {
        done = total_bytes_;
    }
    last_done_ = std::max(last_done_, std::min(done, total_bytes_));
    // The threads share what is left; fewer of them are busy near the end.
    const std::size_t chunks_left = total_chunks_ - std::min(total_chunks_, finished_chunks_);
    const double threads = static_cast<double>(std::clamp<std::size_t>(chunks_left, 1, jobs_));
    double left = static_cast<double>(total_bytes_ - last_done_) / (rate * threads);
    if (last_left_) {
        // A slower speed measured after a guess must not make the countdown
        // jump up: it keeps counting down, and simply runs out early.
        const double since = std::chrono::duration<double>(now - last_left_->first).count();
        left = std::min(left, last_left_->second - std::max(0.0, since));
    }
    if (chunks_left == 0) {
        left = 0;
    } else {
        // Still running: never 0, so the caller can tell it from the end.
        left = std::max(left, kStillRunningSeconds);
    }
    last_left_.emplace(now, left);
    return Estimate{last_done_, finished_chunks_, left};
}

ProgressDisplay::ProgressDisplay(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs,
                                 ProgressStyle style, std::chrono::milliseconds line_interval)
    : total_bytes_(total_bytes),
      total_chunks_(total_chunks),
      style_(style),
      line_interval_(line_interval),
      progress_(total_bytes, total_chunks, jobs) {
    if (style != ProgressStyle::kNone) {
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
    if (style_ == ProgressStyle::kTerminal) {
        std::fputs("\r\033[K", stderr);
    } else if (lines_written_ &&
               progress_.At(CompressionProgress::Clock::now()).chunks_done == total_chunks_) {
        WriteLine(CompressionProgress::Clock::now());
    }
    std::fflush(stderr);
}

void ProgressDisplay::ChunkStarted(std::size_t index, std::uint64_t bytes) {
    if (!thread_.joinable()) {
        return;
    }
    std::lock_guard lock(mutex_);
    progress_.ChunkStarted(index, bytes, CompressionProgress::Clock::now());
}

void ProgressDisplay::ChunkFinished(std::size_t index) {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        progress_.ChunkFinished(index, CompressionProgress::Clock::now());
    }
    if (style_ == ProgressStyle::kTerminal) {
        wake_.notify_one();
    }
}

void ProgressDisplay::Run() {
    std::unique_lock lock(mutex_);
    if (style_ == ProgressStyle::kLines) {
        // One line per interval, the first after one interval: a run shorter
        // than that leaves the log as it was, and a log never gets a stream
        // of redrawn lines.
        auto next = CompressionProgress::Clock::now() + line_interval_;
        while (!stop_) {
            wake_.wait_until(lock, next);
            const auto now = CompressionProgress::Clock::now();
            if (!stop_ && now >= next) {
                WriteLine(now);
                lines_written_ = true;
                next = now + line_interval_;
            }
        }
        return;
    }
    while (!stop_) {
        Draw(CompressionProgress::Clock::now());
        wake_.wait_for(lock, std::chrono::seconds(1));
    }
}

void ProgressDisplay::Draw(CompressionProgress::Clock::time_point now) {
    const CompressionProgress::Estimate estimate = progress_.At(now);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[Kcompressing: %.1f of %.1f MB, %zu of %zu chunks, %.0f s",
                 static_cast<double>(estimate.done_bytes) / 1e6,
                 static_cast<double>(total_bytes_) / 1e6, estimate.chunks_done, total_chunks_,
                 seconds);
    if (estimate.seconds_left >= kShownSecondsLeft) {
        std::fprintf(stderr, ", about %.0f s left", estimate.seconds_left);
    }
    std::fflush(stderr);
}

void ProgressDisplay::WriteLine(CompressionProgress::Clock::time_point now) {
    const CompressionProgress::Estimate estimate = progress_.At(now);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double percent = total_bytes_ == 0 ? 100.0
                                             : 100.0 * static_cast<double>(estimate.done_bytes) /
                                                   static_cast<double>(total_bytes_);
    std::fprintf(stderr, "korvanthelm-pack: compressing: %.0f %%, %zu of %zu chunks, %.0f s",
                 std::floor(percent), estimate.chunks_done, total_chunks_, seconds);
    if (estimate.chunks_done < total_chunks_ && estimate.seconds_left >= kShownSecondsLeft) {
        std::fprintf(stderr, ", about %.0f s left", estimate.seconds_left);
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace korvanthelm::pack
