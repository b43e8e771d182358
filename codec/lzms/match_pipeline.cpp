#include "codec/lzms/match_pipeline.h"

#include <algorithm>

namespace korvanthelm::lzms {

MatchPipeline::MatchPipeline(std::span<const std::uint8_t> data,
                             const MatchFinderSettings& settings)
    : data_(data),
      finder_(data, settings),
      num_batches_((data.size() + kBatchPositions - 1) / kBatchPositions),
      thread_([this] { Produce(); }) {}

MatchPipeline::~MatchPipeline() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void MatchPipeline::Produce() {
    try {
        std::vector<LzMatch> found(MatchFinder::kMaxMatches);
        for (std::size_t index = 0; index < num_batches_; ++index) {
            {
                // The slot is free once the parse is done with the batch
                // kBatches before this one.
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || index < consumed_ + kBatches; });
                if (stop_)
                    return;
            }
            Batch& batch = batches_[index % kBatches];
            batch.starts.clear();
            batch.matches.clear();
            const std::size_t first = index * kBatchPositions;
            const std::size_t last = std::min(data_.size(), first + kBatchPositions);
            for (std::size_t pos = first; pos < last; ++pos) {
                batch.starts.push_back(static_cast<std::uint32_t>(batch.matches.size()));
                const std::size_t count = finder_.Find(pos, found.data());
                batch.matches.insert(batch.matches.end(), found.begin(),
                                     found.begin() + static_cast<std::ptrdiff_t>(count));
            }
            batch.starts.push_back(static_cast<std::uint32_t>(batch.matches.size()));
            {
                const std::lock_guard lock(mutex_);
                produced_ = index + 1;
            }
            changed_.notify_all();
        }
    } catch (...) {
        {
            const std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
        }
        changed_.notify_all();
    }
}

const MatchPipeline::Batch& MatchPipeline::Wait(std::size_t index) {
    if (index == current_)
        return *batch_;
    {
        std::unique_lock lock(mutex_);
        // Positions come in order: the batch before is done with.
        consumed_ = index;
        changed_.notify_all();
        changed_.wait(lock, [&] { return failure_ || produced_ > index; });
        if (failure_)
            std::rethrow_exception(failure_);
    }
    current_ = index;
    batch_ = &batches_[index % kBatches];
    return *batch_;
}

std::size_t MatchPipeline::Find(std::size_t pos, LzMatch* matches) {
    const Batch& batch = Wait(pos / kBatchPositions);
    const std::size_t i = pos % kBatchPositions;
    const std::size_t begin = batch.starts[i];
    const std::size_t end = batch.starts[i + 1];
    std::copy(batch.matches.begin() + static_cast<std::ptrdiff_t>(begin),
              batch.matches.begin() + static_cast<std::ptrdiff_t>(end), matches);
    return end - begin;
}

void MatchPipeline::Skip(std::size_t pos) {
    Wait(pos / kBatchPositions);
}

}  // namespace korvanthelm::lzms
