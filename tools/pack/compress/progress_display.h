// Progress of the compression on stderr: LZMS runs at a few MB/s per thread,
// so a large tree takes tens of seconds. Everything shown is measured: the
// bytes the compressor has consumed (our encoder reports a 64 MiB chunk
// only when it is finished; a compressor that reports within a chunk moves the
// figure sooner), and the time left from the speed measured so far, none
// before there is a measurement. On a terminal a line is rewritten every
// second; into a build log (stderr not a terminal) one plain line goes every
// few seconds instead, and one final line at the end, so that a CI log shows
// the packer is alive without filling up with redrawn lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace korvanthelm::pack {

// How far the compression has come, from what the compressor reported. Not
// thread-safe: ProgressDisplay guards it.
class CompressionProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // `total_bytes` in `total_chunks` chunks handed out in order, all of one
    // size but the last; `jobs` threads compress them.
    CompressionProgress(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs);

    void ChunkStarted(std::size_t index, std::uint64_t bytes, Clock::time_point now);
    // The compressor has consumed `consumed` of the chunk's bytes (a figure
    // that never falls; more than the chunk counts as all of it).
    void ChunkConsumed(std::size_t index, std::uint64_t consumed, Clock::time_point now);
    void ChunkFinished(std::size_t index, Clock::time_point now);

    struct Estimate {
        // Bytes the compressor has consumed: the finished chunks' and what
        // the running ones reported; the total only once every chunk is done.
        std::uint64_t done_bytes;
        std::size_t chunks_done;
        // From the speed one thread measured so far (bytes consumed per
        // second of compressing), with the bytes not yet consumed shared out
        // to the threads in the order they will take them. nullopt before
        // any byte was measured, and while a running chunk has taken longer
        // than that speed allows (the measurement no longer says); 0 once
        // every chunk is finished.
        std::optional<double> seconds_left;
    };
    Estimate At(Clock::time_point now) const;

  private:
    struct Running {
        std::uint64_t bytes;
        Clock::time_point start;
        std::uint64_t consumed = 0;
        Clock::time_point consumed_at;  // when `consumed` was reported
    };

    // The size of chunk `index` (not yet started) as the compressor will be
    // given it.
    std::uint64_t QueuedChunkBytes(std::size_t index) const;

    const std::uint64_t total_bytes_;
    const std::size_t total_chunks_;
    const unsigned jobs_;
    std::map<std::size_t, Running> running_;
    std::size_t started_chunks_ = 0;  // chunks are started in index order
    std::uint64_t chunk_bytes_ = 0;   // the size of every chunk but the last, once seen
    std::uint64_t finished_bytes_ = 0;
    std::size_t finished_chunks_ = 0;
    // The finished chunks' compression time, summed over the threads.
    Clock::duration finished_time_{};
};

// Below this an estimate is not shown: the end is near.
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
    // Shows the progress on `out` (standard error but in tests).
    ProgressDisplay(std::uint64_t total_bytes, std::size_t total_chunks, unsigned jobs,
                    ProgressStyle style,
                    std::chrono::milliseconds line_interval = kDefaultLineInterval,
                    std::FILE* out = stderr);
    // Clears the terminal's line. In a log that got a line, and when every
    // chunk was finished, writes the one final line (100 %); the lines
    // before it never say 100 %, so a log holds exactly one. Nothing more
    // when the compression failed.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Safe to call from any thread.
    void ChunkStarted(std::size_t index, std::uint64_t bytes);
    void ChunkConsumed(std::size_t index, std::uint64_t consumed);
    void ChunkFinished(std::size_t index);

  private:
    void Run();
    void Draw(CompressionProgress::Clock::time_point now);
    void WriteLine(CompressionProgress::Clock::time_point now);

    const std::uint64_t total_bytes_;
    const std::size_t total_chunks_;
    const ProgressStyle style_;
    const std::chrono::milliseconds line_interval_;
    std::FILE* const out_;
    const CompressionProgress::Clock::time_point start_ = CompressionProgress::Clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    CompressionProgress progress_;
    bool stop_ = false;
    bool lines_written_ = false;  // a plain line went to the log already
    std::thread thread_;
};

}  // namespace korvanthelm::pack
