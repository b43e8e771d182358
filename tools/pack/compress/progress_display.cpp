#include "tools/pack/compress/progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace korvanthelm::pack {

CompressionProgress::CompressionProgress(std::uint64_t total_bytes, std::size_t total_chunks,
                                         unsigned jobs)
    : total_bytes_(total_bytes), total_chunks_(total_chunks), jobs_(std::max(1u, jobs)) {}

void CompressionProgress::ChunkStarted(std::size_t index, std::uint64_t bytes,
                                       Clock::time_point now) {
    running_[index] = Running{bytes, now, 0, now};
    started_chunks_ = std::max(started_chunks_, index + 1);
    chunk_bytes_ = std::max(chunk_bytes_, bytes);
}

void CompressionProgress::ChunkConsumed(std::size_t index, std::uint64_t consumed,
                                        Clock::time_point now) {
    const auto it = running_.find(index);
    if (it == running_.end() || consumed <= it->second.consumed) {
        return;
    }
    it->second.consumed = std::min(consumed, it->second.bytes);
    it->second.consumed_at = now;
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

std::uint64_t CompressionProgress::QueuedChunkBytes(std::size_t index) const {
    if (index + 1 < total_chunks_) {
        return chunk_bytes_;
    }
    // The last chunk holds what the others leave.
    const std::uint64_t before = chunk_bytes_ * (total_chunks_ - 1);
    return total_bytes_ > before ? total_bytes_ - before : 0;
}

CompressionProgress::Estimate CompressionProgress::At(Clock::time_point now) const {
    if (finished_chunks_ >= total_chunks_) {
        return Estimate{total_bytes_, total_chunks_, 0.0};
    }
    // The measurement: bytes consumed, and the thread-seconds spent on them.
    std::uint64_t consumed = finished_bytes_;
    Clock::duration spent = finished_time_;
    for (const auto& [index, chunk] : running_) {
        consumed += chunk.consumed;
        if (chunk.consumed > 0) {
            spent += chunk.consumed_at - chunk.start;
        }
    }
    Estimate estimate{std::min(consumed, total_bytes_), finished_chunks_, std::nullopt};
    const double seconds = std::chrono::duration<double>(spent).count();
    if (consumed == 0 || seconds <= 0) {
        return estimate;  // nothing measured yet: no guess
    }
    const double speed = static_cast<double>(consumed) / seconds;  // one thread's bytes per second

    // Each thread's seconds until it is free: a running chunk's rest at that
    // speed, counted from its last report; the chunks not yet started go, in
    // order, to whichever thread is free first.
    std::vector<double> busy;
    busy.reserve(std::max<std::size_t>(jobs_, running_.size()));
    for (const auto& [index, chunk] : running_) {
        const double rest = static_cast<double>(chunk.bytes - chunk.consumed) / speed -
                            std::chrono::duration<double>(now - chunk.consumed_at).count();
        if (rest < 0) {
            // Slower than measured: what is left of it is unknown.
            return estimate;
        }
        busy.push_back(rest);
    }
    busy.resize(std::max<std::size_t>(jobs_, busy.size()), 0.0);
    for (std::size_t index = started_chunks_; index < total_chunks_; ++index) {
        *std::min_element(busy.begin(), busy.end()) +=
            static_cast<double>(QueuedChunkBytes(index)) / speed;
    }
    estimate.seconds_left = *std::max_element(busy.begin(), busy.end());
    return estimate;
}

ProgressDisplay::ProgressDisplay(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs,
                                 ProgressStyle style, std::chrono::milliseconds line_interval,
                                 std::FILE* out)
    : total_bytes_(total_bytes),
      total_chunks_(total_chunks),
      style_(style),
      line_interval_(line_interval),
      out_(out),
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
    // The thread has ended: nothing else touches progress_ or out_.
    if (style_ == ProgressStyle::kTerminal) {
        std::fputs("\r\033[K", out_);
    } else if (lines_written_ &&
               progress_.At(CompressionProgress::Clock::now()).chunks_done == total_chunks_) {
        WriteLine(CompressionProgress::Clock::now());
    }
    std::fflush(out_);
}

void ProgressDisplay::ChunkStarted(std::size_t index, std::uint64_t bytes) {
    if (!thread_.joinable()) {
        return;
    }
    std::lock_guard lock(mutex_);
    progress_.ChunkStarted(index, bytes, CompressionProgress::Clock::now());
}

void ProgressDisplay::ChunkConsumed(std::size_t index, std::uint64_t consumed) {
    if (!thread_.joinable()) {
        return;
    }
    std::lock_guard lock(mutex_);
    progress_.ChunkConsumed(index, consumed, CompressionProgress::Clock::now());
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
        // of redrawn lines. Once every chunk is finished the final line is
        // the destructor's alone, so it is written once.
        auto next = CompressionProgress::Clock::now() + line_interval_;
        while (!stop_) {
            wake_.wait_until(lock, next);
            const auto now = CompressionProgress::Clock::now();
            if (!stop_ && now >= next) {
                if (progress_.At(now).chunks_done < total_chunks_) {
                    WriteLine(now);
                    lines_written_ = true;
                }
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
    std::fprintf(out_, "\r\033[Kcompressing: %.1f of %.1f MB, %zu of %zu chunks, %.0f s",
                 static_cast<double>(estimate.done_bytes) / 1e6,
                 static_cast<double>(total_bytes_) / 1e6, estimate.chunks_done, total_chunks_,
                 seconds);
    if (estimate.seconds_left && *estimate.seconds_left >= kShownSecondsLeft) {
        std::fprintf(out_, ", about %.0f s left", *estimate.seconds_left);
    }
    std::fflush(out_);
}

void ProgressDisplay::WriteLine(CompressionProgress::Clock::time_point now) {
    const CompressionProgress::Estimate estimate = progress_.At(now);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const bool finished = estimate.chunks_done >= total_chunks_;
    double percent = total_bytes_ == 0
                         ? 100.0
                         : std::floor(100.0 * static_cast<double>(estimate.done_bytes) /
                                      static_cast<double>(total_bytes_));
    if (!finished) {
        // 100 % is the final line's: a chunk consumed to its end may still
        // be being written.
        percent = std::min(percent, 99.0);
    }
    std::fprintf(out_, "korvanthelm-pack: compressing: %.0f %%, %zu of %zu chunks, %.0f s", percent,
                 estimate.chunks_done, total_chunks_, seconds);
    if (!finished && estimate.seconds_left && *estimate.seconds_left >= kShownSecondsLeft) {
        std::fprintf(out_, ", about %.0f s left", *estimate.seconds_left);
    }
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace korvanthelm::pack
