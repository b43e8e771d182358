// Progress of the compression on stderr, for a person watching a terminal:
// LZMS runs at a few MB/s per thread, so a large tree takes tens of seconds,
// and a 64 MiB chunk reports nothing of its own until it is finished. A line
// is rewritten every second with the bytes done (chunks finished, plus an
// estimate for the chunks being compressed), the chunks finished, the time
// so far and an estimate of the time left. Nothing is shown when `enabled`
// is false (stderr is not a terminal: build logs stay clean).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace korvanthelm::pack {

// How far the compression has come. Chunks being compressed count by the
// time they have taken so far, at the speed one thread managed on the chunks
// finished before (an assumed speed until one is), so the figure moves
// while a single chunk takes a minute. Not thread-safe: ProgressDisplay
// guards it.
class CompressionProgress {
  public:
    using Clock = std::chrono::steady_clock;

    CompressionProgress(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs);

    void ChunkStarted(std::size_t index, std::uint64_t bytes, Clock::time_point now);
    void ChunkFinished(std::size_t index, Clock::time_point now);

    struct Estimate {
        // Never smaller than the last answer; below the total until every
        // chunk is finished, since a chunk being compressed counts for at
        // most 95 % of its bytes.
        std::uint64_t done_bytes;
        std::size_t chunks_done;
        double seconds_left;
    };
    Estimate At(Clock::time_point now);

  private:
    struct Running {
        std::uint64_t bytes;
        Clock::time_point start;
    };

    const std::uint64_t total_bytes_;
    const std::size_t total_chunks_;
    const unsigned jobs_;
    std::map<std::size_t, Running> running_;
    std::uint64_t finished_bytes_ = 0;
    std::size_t finished_chunks_ = 0;
    // The finished chunks' compression time, summed over the threads.
    Clock::duration finished_time_{};
    std::uint64_t last_done_ = 0;
};

class ProgressDisplay {
  public:
    ProgressDisplay(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs,
                    bool enabled);
    // Clears the line.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Safe to call from any thread.
    void ChunkStarted(std::size_t index, std::uint64_t bytes);
    void ChunkFinished(std::size_t index);

  private:
    void Run();
    void Draw(CompressionProgress::Clock::time_point now);

    const std::uint64_t total_bytes_;
    const std::size_t total_chunks_;
    const CompressionProgress::Clock::time_point start_ = CompressionProgress::Clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    CompressionProgress progress_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace korvanthelm::pack
