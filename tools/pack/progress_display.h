// Progress of the compression on stderr, for a person watching a terminal:
// LZMS runs at a few MB/s, so a large tree takes tens of seconds and one
// 64 MiB chunk gives no progress of its own while it is compressed. A line is
// rewritten every second with the bytes done, the time so far and an
// estimate of the time left. Nothing is shown when `enabled` is false (stderr
// is not a terminal: build logs stay clean).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace korvanthelm::pack {

class ProgressDisplay {
  public:
    ProgressDisplay(std::uint64_t total_bytes, bool enabled);
    // Clears the line.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void Update(std::uint64_t done_bytes);

  private:
    void Run();
    void Draw(std::uint64_t done, std::chrono::steady_clock::duration elapsed);

    const std::uint64_t total_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t done_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace korvanthelm::pack
