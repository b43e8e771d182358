// Compression progress: only what the compressor has consumed counts, the
// time left comes from the speed measured so far (none before there is a
// measurement), and a run whose standard error is a log prints plain lines
// with exactly one final line.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes std::regex's inner std::function for maybe uninitialized, a
// false positive of its optimiser that clang does not share.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>

#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

using Clock = CompressionProgress::Clock;

Clock::time_point At(double seconds) {
    return Clock::time_point{} +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Done bytes are what the compressor reported, never a guess from the clock:
// a chunk that reports nothing until it is finished (wimlib's) counts nothing
// until then, however long it runs.
TEST(PackProgress, MovesWithinAChunkAndNeverGoesBack) {
    // Three chunks of 10 MB and a last one of 4 MB on two threads.
    CompressionProgress progress(34'000'000, 4, 2);
    enum What { kStart, kConsumed, kFinish, kLook };
    constexpr double kNone = -1;  // kLook: no estimate of the time left
    struct Step {
        double seconds;
        What what;
        std::size_t index;        // kStart, kConsumed, kFinish
        std::uint64_t value;      // kStart: chunk bytes; kConsumed: bytes; kLook: done bytes
        std::size_t chunks_done;  // kLook
        double left;              // kLook
        const char* why;
    };
    const Step steps[] = {
        {0, kStart, 0, 10'000'000, 0, 0, ""},
        {0, kStart, 1, 10'000'000, 0, 0, ""},
        {0, kLook, 0, 0, 0, kNone, "nothing done, nothing measured"},
        {8, kLook, 0, 0, 0, kNone, "no bytes reported: nothing counted, no guess"},
        {10, kFinish, 0, 0, 0, 0, ""},  // 10 MB in 10 s: 1 MB/s per thread
        {10, kStart, 2, 10'000'000, 0, 0, ""},
        // Chunk 1 has run 10 s of its 10 at that speed; then chunk 2 (10 s)
        // and chunk 3 (4 s) on the first thread free.
        {10, kLook, 0, 10'000'000, 1, 10, "from the measured speed"},
        {11, kLook, 0, 10'000'000, 1, kNone, "chunk 1 ran past the speed measured: no estimate"},
        {12, kFinish, 1, 0, 0, 0, ""},  // 20 MB in 22 thread-seconds
        {12, kStart, 3, 4'000'000, 0, 0, ""},
        // A compressor that reports within a chunk: 24 MB in 24 s, 1 MB/s.
        {12, kConsumed, 2, 4'000'000, 0, 0, ""},
        {12, kLook, 0, 24'000'000, 2, 6, "the reported bytes count at once"},
        {13, kConsumed, 2, 3'000'000, 0, 0, "a lower figure changes nothing"},
        {13, kLook, 0, 24'000'000, 2, 5, "counts down with the clock"},
        {16, kFinish, 3, 0, 0, 0, ""},
        {16, kLook, 0, 28'000'000, 3, 2, ""},
        {17, kConsumed, 2, 12'000'000, 0, 0, "more than the chunk is all of it"},
        {17, kLook, 0, 34'000'000, 3, 0, "every byte consumed, the last chunk not yet finished"},
        {18, kFinish, 2, 0, 0, 0, ""},
        {18, kLook, 0, 34'000'000, 4, 0, "all of it once every chunk is finished"},
    };
    std::uint64_t last_done = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.seconds) + " s: " + step.why);
        switch (step.what) {
            case kStart:
                progress.ChunkStarted(step.index, step.value, At(step.seconds));
                break;
            case kConsumed:
                progress.ChunkConsumed(step.index, step.value, At(step.seconds));
                break;
            case kFinish:
                progress.ChunkFinished(step.index, At(step.seconds));
                break;
            case kLook: {
                const CompressionProgress::Estimate estimate = progress.At(At(step.seconds));
                EXPECT_EQ(estimate.done_bytes, step.value);
                EXPECT_GE(estimate.done_bytes, last_done) << "went back";
                last_done = estimate.done_bytes;
                EXPECT_EQ(estimate.chunks_done, step.chunks_done);
                if (step.left == kNone) {
                    EXPECT_FALSE(estimate.seconds_left.has_value());
                } else {
                    ASSERT_TRUE(estimate.seconds_left.has_value());
                    EXPECT_NEAR(*estimate.seconds_left, step.left, 0.1);
                }
                break;
            }
        }
    }
}

// A compressor of known speed, run on the simulated clock: the estimate is
// never below the time really left by more than the margin, and never above
// it by more than the margin either (an estimate that only errs upwards is
// no answer). Before the first bytes are reported there is no estimate.
TEST(PackProgress, EstimateForACompressorOfKnownSpeedIsNeverShort) {
    // The margin: the compressor's speed is exact here, so only rounding.
    constexpr double kMarginSeconds = 0.05;
    struct Case {
        const char* name;
        std::vector<std::uint64_t> chunks;  // bytes, in order
        unsigned jobs;
        double bytes_per_second;     // each thread's
        std::uint64_t report_every;  // bytes between reports within a chunk; 0: only at its end
    };
    const Case cases[] = {
        {"one chunk, reported as it goes", {58'000'000}, 1, 1.5e6, 1 << 20},
        {"four chunks, one thread, reported at the end", {64, 64, 64, 22}, 1, 16, 0},
        {"four chunks on two threads, reported at the end", {64, 64, 64, 22}, 2, 16, 0},
        {"three chunks on two threads, reported at the end",
         {67'108'864, 67'108'864, 1'000'000},
         2,
         2.0e6,
         0},
        {"five chunks on three threads, reported as they go",
         {40'000'000, 40'000'000, 40'000'000, 40'000'000, 7'000'000},
         3,
         3.0e6,
         4'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t total = 0;
        for (const std::uint64_t bytes : c.chunks) {
            total += bytes;
        }
        // The schedule: chunks in order, each to the thread free first.
        struct Event {
            double seconds;
            int order;  // starts after finishes at the same moment, reports between
            std::size_t index;
            std::uint64_t consumed;  // a report; ~0: start; ~0 - 1: finish
        };
        constexpr std::uint64_t kStarted = ~std::uint64_t{0};
        constexpr std::uint64_t kFinished = kStarted - 1;
        std::vector<Event> events;
        std::vector<double> free_at(c.jobs, 0.0);
        double end = 0;
        for (std::size_t index = 0; index < c.chunks.size(); ++index) {
            double& thread = *std::min_element(free_at.begin(), free_at.end());
            const double start = thread;
            const double took = static_cast<double>(c.chunks[index]) / c.bytes_per_second;
            events.push_back({start, 2, index, kStarted});
            if (c.report_every != 0) {
                for (std::uint64_t done = c.report_every; done < c.chunks[index];
                     done += c.report_every) {
                    events.push_back(
                        {start + static_cast<double>(done) / c.bytes_per_second, 1, index, done});
                }
            }
            events.push_back({start + took, 0, index, kFinished});
            thread = start + took;
            end = std::max(end, thread);
        }
        std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
            return std::tie(a.seconds, a.order, a.index) < std::tie(b.seconds, b.order, b.index);
        });

        CompressionProgress progress(total, c.chunks.size(), c.jobs);
        std::size_t next = 0;
        bool measured = false;
        std::size_t estimates = 0;
        // Looks between the events, never on one (where rounding decides).
        for (double now = end / 800; now < end; now += end / 400) {
            for (; next < events.size() && events[next].seconds <= now; ++next) {
                const Event& event = events[next];
                if (event.consumed == kStarted) {
                    progress.ChunkStarted(event.index, c.chunks[event.index], At(event.seconds));
                } else if (event.consumed == kFinished) {
                    progress.ChunkFinished(event.index, At(event.seconds));
                    measured = true;
                } else {
                    progress.ChunkConsumed(event.index, event.consumed, At(event.seconds));
                    measured = true;
                }
            }
            const CompressionProgress::Estimate estimate = progress.At(At(now));
            const double truth = end - now;
            if (!measured) {
                EXPECT_FALSE(estimate.seconds_left.has_value()) << "a guess at " << now << " s";
                continue;
            }
            // At a known speed no chunk runs past its measured time, so
            // every look after the first measurement has an estimate.
            EXPECT_TRUE(estimate.seconds_left.has_value()) << "none at " << now << " s";
            if (estimate.seconds_left) {
                ++estimates;
                EXPECT_GE(*estimate.seconds_left, truth - kMarginSeconds) << "at " << now << " s";
                EXPECT_LE(*estimate.seconds_left, truth + kMarginSeconds) << "at " << now << " s";
            }
        }
        EXPECT_GT(estimates, 0u);
    }
}

// Lines into a log: never 100 % before the end, and exactly one final line
// once every chunk is finished, also when the display lingers after it.
TEST(PackProgress, ALogGetsExactlyOneFinalLine) {
    for (const bool finished : {true, false}) {
        SCOPED_TRACE(finished ? "finished" : "failed midway");
        std::FILE* log = std::tmpfile();
        ASSERT_NE(log, nullptr);
        {
            ProgressDisplay display(2'000, 2, 1, ProgressStyle::kLines,
                                    std::chrono::milliseconds(1), log);
            display.ChunkStarted(0, 1'000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            display.ChunkConsumed(0, 1'000);
            display.ChunkFinished(0);
            display.ChunkStarted(1, 1'000);
            display.ChunkConsumed(1, 1'000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (finished) {
                display.ChunkFinished(1);
                // The line thread keeps waking while the compression ends.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        std::rewind(log);
        std::string text;
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, log)) > 0;) {
            text.append(buffer, got);
        }
        std::fclose(log);
        std::size_t lines = 0;
        std::size_t final_lines = 0;
        std::string last;
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            last = text.substr(start, end - start);
            ++lines;
            final_lines += last.starts_with("korvanthelm-pack: compressing: 100 %") ? 1 : 0;
        }
        EXPECT_GE(lines, 2u) << text;
        EXPECT_EQ(final_lines, finished ? 1u : 0u) << text;
        if (finished) {
            EXPECT_TRUE(last.starts_with("korvanthelm-pack: compressing: 100 %, 2 of 2 chunks"))
                << text;
        } else {
            EXPECT_TRUE(last.starts_with("korvanthelm-pack: compressing: 99 %, 1 of 2 chunks"))
                << "the bytes consumed, never 100 % before the end: " << text;
        }
    }
}

// ---- Hostile and unusual trees ----------------------------------------------

// With standard error a log, pack prints a plain line per interval (lowered
// here to 1 ms) whose percent never falls, then exactly one 100 % line.
// wimlib reports a chunk only when it is finished, so with a single chunk
// nothing is measured before the end: 0 % and no estimate of the time left,
// rather than a guess.
TEST(PackJson, ProgressIntoALogIsPlainLines) {
    const TempDir dir;
    test::AddDefaultLauncherFiles(dir / "tree");
    WriteFile(dir / "tree/words.txt", test::WordSalad(3 << 20, 7));
    const auto run = [&] {
        const ScopedEnvironment progress("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING", "1");
        return RunPacker({"pack", dir / "tree", "-o", dir / "p.bin", "--jobs", "1"});
    }();
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << "the digests only";
    const std::regex line(R"(korvanthelm-pack: compressing: (\d+) %, ([01]) of 1 chunks, \d+ s)");
    std::size_t lines = 0;
    std::size_t final_lines = 0;
    std::string last;
    std::size_t start = 0;
    while (start < run.err.size()) {
        const std::size_t end = run.err.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "every line ends: " << run.err;
        last = run.err.substr(start, end - start);
        start = end + 1;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(last, match, line))
            << "no estimate without a measurement: " << last;
        ++lines;
        const int percent = std::stoi(match[1]);
        EXPECT_TRUE(percent == 0 || percent == 100) << last;
        final_lines += percent == 100 ? 1 : 0;
    }
    EXPECT_GE(lines, 2u) << run.err;
    EXPECT_EQ(final_lines, 1u) << run.err;
    EXPECT_EQ(last.substr(0, 52), "korvanthelm-pack: compressing: 100 %, 1 of 1 chunks,") << last;
}

}  // namespace
}  // namespace korvanthelm::pack
