#include "tools/pack/compress/compress_package_table.h"

#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "tools/pack/compress/lzms_codec.h"

namespace korvanthelm::pack {
namespace {

// The chunk size the container will carry: K = min(T, chunk_size), at least
// 1 so that an empty table still makes a valid (tiny) compressor request.
std::uint64_t LargestChunk(std::uint64_t table_size, std::uint64_t chunk_size) {
    return std::max<std::uint64_t>(1, std::min(table_size, chunk_size));
}

std::uint64_t ChunkCount(std::uint64_t table_size, std::uint64_t chunk_size) {
    const std::uint64_t largest = LargestChunk(table_size, chunk_size);
    return table_size / largest + (table_size % largest != 0 ? 1 : 0);
}

// What one thread needs, made before any thread starts, so that a compressor
// wimlib cannot make fails the call before any work is done.
struct Worker {
    explicit Worker(std::size_t largest_chunk)
        : compressor(largest_chunk), block(largest_chunk - 1) {}
    // wimlib's compressors keep their match finder's state in themselves:
    // one per thread, reused for every chunk that thread takes.
    LzmsCompressor compressor;
    // One byte less than the largest chunk: a block the compressor fits in
    // is strictly smaller than its chunk, so a stored chunk stays
    // unambiguous (the container's rule, as format::WriteContainer applies it).
    std::vector<std::byte> block;
};

// Hands the chunks out in table order and writes their records in the same
// order, whichever thread finishes first: the bytes do not depend on the
// number of threads or on their timing.
class ChunkWriter {
  public:
    ChunkWriter(std::span<const std::byte> table, std::uint64_t chunk_size, std::size_t chunks,
                const CompressionEvents& events, std::vector<std::byte>& out)
        : table_(table), chunk_size_(chunk_size), chunks_(chunks), events_(events), out_(out) {}

    // One thread's share: takes chunks until none is left or a thread failed.
    // Never throws: the first failure is kept for RethrowFailure and stops
    // every thread at its next chunk.
    void Work(Worker& worker) noexcept {
        try {
            for (;;) {
                std::size_t index = 0;
                {
                    std::lock_guard lock(mutex_);
                    if (failure_ || next_to_start_ == chunks_) {
                        return;
                    }
                    index = next_to_start_++;
                    if (!Notify(events_.chunk_started, index)) {
                        return;
                    }
                }
                const std::span<const std::byte> chunk = Chunk(index);
                const std::span<std::byte> block = std::span(worker.block).first(chunk.size() - 1);
                // LZMS never compresses a single byte; wimlib is not asked.
                const std::size_t compressed =
                    block.empty() ? 0 : worker.compressor.Compress(chunk, block);
                if (compressed > block.size()) [[unlikely]] {
                    throw std::logic_error("LZMS compressor reported more bytes than it was given");
                }
                Finish(index, chunk, block.first(compressed));
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_) {
                failure_ = std::current_exception();
            }
        }
    }

    void RethrowFailure() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

  private:
    // With mutex_ held. A failing event is recorded before the lock is let
    // go, so no thread takes another chunk after it.
    bool Notify(const std::function<void(std::size_t, std::uint64_t)>& event, std::size_t index) {
        if (!event) {
            return true;
        }
        try {
            event(index, Chunk(index).size());
            return true;
        } catch (...) {
            failure_ = std::current_exception();
            return false;
        }
    }

    std::span<const std::byte> Chunk(std::size_t index) const {
        const std::uint64_t offset = index * chunk_size_;
        return table_.subspan(
            static_cast<std::size_t>(offset),
            static_cast<std::size_t>(std::min(chunk_size_, table_.size() - offset)));
    }

    // `block` empty: the chunk did not shrink and is stored as it is.
    void Finish(std::size_t index, std::span<const std::byte> chunk,
                std::span<const std::byte> block) {
        std::lock_guard lock(mutex_);
        if (failure_) {
            return;  // the container will not be used
        }
        if (!Notify(events_.chunk_finished, index)) {
            return;
        }
        if (index != next_to_write_) {
            // An earlier chunk is still being compressed; the worker's block
            // is needed for its next chunk, so this one waits in a copy of
            // its own size. A stored chunk waits as its place in the table.
            waiting_.emplace(index, block.empty() ? std::nullopt
                                                  : std::optional<std::vector<std::byte>>(
                                                        std::in_place, block.begin(), block.end()));
            return;
        }
        AppendRecord(block.empty() ? chunk : block);
        ++next_to_write_;
        for (auto it = waiting_.begin(); it != waiting_.end() && it->first == next_to_write_;
             it = waiting_.erase(it)) {
            AppendRecord(it->second ? std::span<const std::byte>(*it->second) : Chunk(it->first));
            ++next_to_write_;
        }
    }

    void AppendRecord(std::span<const std::byte> payload) {
        const std::size_t at = out_.size();
        out_.resize(at + format::kChunkSizeFieldBytes + payload.size());
        for (std::size_t i = 0; i < format::kChunkSizeFieldBytes; ++i) {
            out_[at + i] = static_cast<std::byte>(payload.size() >> (8 * i));
        }
        std::copy(payload.begin(), payload.end(),
                  out_.begin() + static_cast<std::ptrdiff_t>(at + format::kChunkSizeFieldBytes));
    }

    const std::span<const std::byte> table_;
    const std::uint64_t chunk_size_;
    const std::size_t chunks_;
    const CompressionEvents& events_;
    std::vector<std::byte>& out_;

    std::mutex mutex_;
    std::size_t next_to_start_ = 0;
    std::size_t next_to_write_ = 0;
    // Blocks finished before an earlier chunk, by chunk index; nullopt: stored.
    std::map<std::size_t, std::optional<std::vector<std::byte>>> waiting_;
    std::exception_ptr failure_;
};

}  // namespace

std::vector<std::byte> CompressPackageTable(std::span<const std::byte> table,
                                            const CompressionSettings& settings,
                                            const CompressionEvents& events) {
    if (settings.jobs == 0) {
        throw std::invalid_argument("compression needs at least one job");
    }
    const std::uint64_t total = table.size();
    const std::uint64_t chunk_size = std::min(total, settings.chunk_size);
    if (!format::IsValidFraming(total, chunk_size)) {
        throw std::invalid_argument("chunk size outside what the container allows");
    }
    std::vector<std::byte> out =
        format::MakeContainerHeader(format::kAlgorithmLzms, total, chunk_size);
    const std::uint64_t chunks = ChunkCount(total, chunk_size);
    // Never larger than the table plus framing: a chunk that does not shrink is stored.
    out.reserve(static_cast<std::size_t>(format::kContainerHeaderSize + total +
                                         chunks * format::kChunkSizeFieldBytes));
    if (chunks == 0) {
        return out;
    }

    // The compressor's memory grows with its block size (about 9 bytes per
    // byte), so each is made no larger than the biggest chunk it will see,
    // and no thread is made that would find no chunk.
    const auto largest_chunk = static_cast<std::size_t>(LargestChunk(total, chunk_size));
    const auto threads = static_cast<std::size_t>(std::min<std::uint64_t>(settings.jobs, chunks));
    std::vector<std::unique_ptr<Worker>> workers;
    workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        workers.push_back(std::make_unique<Worker>(largest_chunk));
    }

    ChunkWriter writer(table, chunk_size, static_cast<std::size_t>(chunks), events, out);
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(threads - 1);
        for (std::size_t i = 1; i < threads; ++i) {
            try {
                helpers.emplace_back([&writer, &worker = *workers[i]] { writer.Work(worker); });
            } catch (const std::system_error&) {
                // No more threads to be had: the ones running share the chunks.
                break;
            }
        }
        writer.Work(*workers[0]);
    }  // joins the helpers
    writer.RethrowFailure();
    return out;
}

std::uint64_t CompressionMemoryPerJob(std::uint64_t table_size, std::uint64_t chunk_size) {
    const std::uint64_t largest = LargestChunk(table_size, chunk_size);
    return LzmsCompressor::NeededMemory(static_cast<std::size_t>(largest)) + (largest - 1);
}

JobChoice ChooseCompressionJobs(std::uint64_t table_size, unsigned cores,
                                std::optional<std::uint64_t> available_memory,
                                std::uint64_t chunk_size) {
    const std::uint64_t chunks = ChunkCount(table_size, chunk_size);
    const auto wanted =
        static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(cores, chunks)));
    if (!available_memory) {
        return {wanted, false};
    }
    // The container grows while the threads work; at worst every chunk is stored.
    const std::uint64_t container =
        format::kContainerHeaderSize + table_size + chunks * format::kChunkSizeFieldBytes;
    const std::uint64_t spare = *available_memory > container ? *available_memory - container : 0;
    const std::uint64_t fit =
        spare / std::max<std::uint64_t>(1, CompressionMemoryPerJob(table_size, chunk_size));
    const auto jobs = static_cast<unsigned>(std::clamp<std::uint64_t>(fit, 1, wanted));
    return {jobs, jobs < wanted};
}

}  // namespace korvanthelm::pack
