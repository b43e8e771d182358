// Progress of the compression on stderr: LZMS runs at a few MB/s per thread,
// so a large tree takes tens of seconds, and a 64 MiB chunk reports nothing
// of its own until it is finished. On a terminal a line is rewritten every
// second with the bytes done (chunks finished, plus an estimate for the
// chunks being compressed), the chunks finished, the time so far and an
// estimate of the time left. Into a build log (stderr not a terminal) one
// plain line goes every few seconds instead (phase, percent, chunks, time,
// the estimate), so that a CI log shows the packer is alive without filling
// up with redrawn lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

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
        // Never more than the last answer less the time since it: a countdown
        // that never runs backwards, even when the measured speed turns out
        // lower than the one assumed before. Above 0 until every chunk is
        // finished, so an estimate that ran out is told apart from the end.
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
    // The last answer's time left and when it was given; none before the
    // first answer.
    std::optional<std::pair<Clock::time_point, double>> last_left_;
};

// Below this an estimate is not shown: it ran out, the end is near.
inline constexpr double kShownSecondsLeft = 1.0;

enum class ProgressStyle {
    kNone,      // nothing is shown
    kTerminal,  // one line rewritten in place every second
    kLines,     // one plain line every `line_interval` (the first after one), for a log
};

// The seconds between plain lines into a log.
inline constexpr std::chrono::milliseconds kDefaultLineInterval{5000};

class ProgressDisplay {
  public:
    ProgressDisplay(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs,
                    ProgressStyle style,
                    std::chrono::milliseconds line_interval = kDefaultLineInterval);
    // Clears the terminal's line; in a log that got a line, ends with a 100 %
    // line when every chunk was finished (nothing more when it failed).
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Safe to call from any thread.
    void ChunkStarted(std::size_t index, std::uint64_t bytes);
    void ChunkFinished(std::size_t index);

  private:
    void Run();
    void Draw(CompressionProgress::Clock::time_point now);
    void WriteLine(CompressionProgress::Clock::time_point now);

    const std::uint64_t total_bytes_;
    const std::size_t total_chunks_;
    const ProgressStyle style_;
    const std::chrono::milliseconds line_interval_;
    const CompressionProgress::Clock::time_point start_ = CompressionProgress::Clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    CompressionProgress progress_;
    bool stop_ = false;
    bool lines_written_ = false;  // a plain line went to the log already
    std::thread thread_;
};

}  // namespace korvanthelm::pack
