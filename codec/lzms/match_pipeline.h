// LZ match finding on a thread of its own, ahead of the parse: the finder
// runs through the block in batches of positions while the parse consumes
// earlier batches. The matches are those of a MatchFinder run in order, so
// the parse, and the block, are the same as without the thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "codec/lzms/match_finder.h"

namespace korvanthelm::lzms {

class MatchPipeline final : public LzMatchSource {
  public:
    // Starts the thread. `data` must outlive the pipeline. Memory: the
    // finder's, plus the matches of kBatches batches.
    MatchPipeline(std::span<const std::uint8_t> data, const MatchFinderSettings& settings);
    // Stops the thread (also when the parse ended early) and waits for it.
    ~MatchPipeline() override;
    MatchPipeline(const MatchPipeline&) = delete;
    MatchPipeline& operator=(const MatchPipeline&) = delete;

    // Rethrows what the thread threw (std::bad_alloc).
    std::size_t Find(std::size_t pos, LzMatch* matches) override;
    void Skip(std::size_t pos) override;

  private:
    static constexpr std::size_t kBatchPositions = std::size_t{1} << 16;
    static constexpr std::size_t kBatches = 4;

    struct Batch {
        std::vector<std::uint32_t> starts;  // per position, into `matches`; one more at the end
        std::vector<LzMatch> matches;
    };

    void Produce();
    // Waits until batch `index` is ready for the parse.
    const Batch& Wait(std::size_t index);

    std::span<const std::uint8_t> data_;
    MatchFinder finder_;
    std::size_t num_batches_;
    Batch batches_[kBatches];

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t produced_ = 0;  // batches finished by the thread
    std::size_t consumed_ = 0;  // batches the parse is done with
    bool stop_ = false;
    std::exception_ptr failure_;

    std::size_t current_ = SIZE_MAX;  // the batch the parse reads
    const Batch* batch_ = nullptr;
    std::thread thread_;  // last: starts when everything else exists
};

}  // namespace korvanthelm::lzms
