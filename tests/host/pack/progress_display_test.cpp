// Compression progress: the estimate moves within a chunk and never runs
// backwards, and a run whose standard error is a log prints plain lines.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes std::regex's inner std::function for maybe uninitialized, a
// false positive of its optimiser that clang does not share.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>

#include "tests/host/pack/pack_test_common.h"

namespace korvanthelm::pack {
namespace {

TEST(PackProgress, MovesWithinAChunkAndNeverGoesBack) {
    using Clock = CompressionProgress::Clock;
    const Clock::time_point t0{};
    const auto at = [&](double seconds) {
        return t0 +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    // Three chunks of 10 MB and a last one of 4 MB on two threads; the speed
    // is assumed to be 1.5 MB/s per thread until a chunk is finished.
    CompressionProgress progress(34'000'000, 4, 2);
    enum What { kStart, kFinish, kLook };
    struct Step {
        double seconds;
        What what;
        std::size_t index;        // kStart, kFinish
        std::uint64_t value;      // kStart: chunk bytes; kLook: expected done bytes
        std::size_t chunks_done;  // kLook
        const char* why;
    };
    const Step steps[] = {
        {0, kStart, 0, 10'000'000, 0, ""},
        {0, kStart, 1, 10'000'000, 0, ""},
        {0, kLook, 0, 0, 0, "nothing done yet"},
        {2, kLook, 0, 6'000'000, 0, "moves before any chunk is finished"},
        {10, kLook, 0, 19'000'000, 0, "a running chunk counts for at most 95 %"},
        {10, kFinish, 0, 0, 0, ""},  // 10 MB in 10 s: 1 MB/s
        {10, kStart, 2, 10'000'000, 0, ""},
        {10, kLook, 0, 19'500'000, 1, "the measured speed replaces the assumed one"},
        {20, kLook, 0, 29'000'000, 1, ""},
        {20, kFinish, 1, 0, 0, ""},  // 20 MB in 30 thread-seconds: 2/3 MB/s
        {20, kStart, 3, 4'000'000, 0, ""},
        {20, kLook, 0, 29'000'000, 2, "a slower measured speed does not take it back"},
        {26, kLook, 0, 33'300'000, 2, "both running chunks at their caps"},
        {30, kFinish, 3, 0, 0, ""},
        {30, kLook, 0, 33'500'000, 3, "below the total while a chunk runs"},
        {31, kFinish, 2, 0, 0, ""},
        {31, kLook, 0, 34'000'000, 4, "all of it once every chunk is finished"},
    };
    for (const Step& step : steps) {
        switch (step.what) {
            case kStart:
                progress.ChunkStarted(step.index, step.value, at(step.seconds));
                break;
            case kFinish:
                progress.ChunkFinished(step.index, at(step.seconds));
                break;
            case kLook: {
                const CompressionProgress::Estimate estimate = progress.At(at(step.seconds));
                EXPECT_NEAR(static_cast<double>(estimate.done_bytes),
                            static_cast<double>(step.value), 1.0)
                    << "at " << step.seconds << " s: " << step.why;
                EXPECT_EQ(estimate.chunks_done, step.chunks_done) << "at " << step.seconds << " s";
                EXPECT_EQ(estimate.seconds_left > 0, estimate.chunks_done < 4)
                    << "at " << step.seconds << " s";
                break;
            }
        }
    }
}

// The time left counts down: a measured speed lower than the assumed one, or
// fewer threads busy near the end, never make it jump back up; it runs out
// (below what is shown) instead, and stays above 0 until the last chunk ends.
TEST(PackProgress, EstimateOfTimeLeftNeverRunsBackwards) {
    using Clock = CompressionProgress::Clock;
    const auto at = [](double seconds) {
        return Clock::time_point{} +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    enum What { kStart, kFinish, kLook };
    struct Step {
        double seconds;
        What what;
        std::size_t index;    // kStart, kFinish
        std::uint64_t bytes;  // kStart
        double left;          // kLook: the expected time left; -1: only "below what is shown"
        const char* why;
    };
    // Two 30 MB chunks on two threads: assumed 1.5 MB/s each, so 20 s at
    // first; the chunks really take 100 s (0.3 MB/s), which the old estimate
    // turned into a jump from a few seconds left to a minute and more.
    const Step steps[] = {
        {0, kStart, 0, 30'000'000, 0, ""},
        {0, kStart, 1, 30'000'000, 0, ""},
        {0, kLook, 0, 0, 20, "the assumed speed on both threads"},
        {5, kLook, 0, 0, 15, "counts down with the clock"},
        {18, kLook, 0, 0, 2, ""},
        {25, kLook, 0, 0, -1, "ran out: not shown, yet above 0"},
        {99, kFinish, 0, 0, 0, ""},  // 30 MB in 99 s: far slower than assumed
        {99, kLook, 0, 0, -1, "the slower speed does not raise it again"},
        {100, kFinish, 1, 0, 0, ""},
        {100, kLook, 0, 0, 0, "0 once every chunk is finished"},
    };
    CompressionProgress progress(60'000'000, 2, 2);
    std::optional<double> last_left;
    double last_seconds = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.seconds) + " s: " + step.why);
        if (step.what == kStart) {
            progress.ChunkStarted(step.index, step.bytes, at(step.seconds));
        } else if (step.what == kFinish) {
            progress.ChunkFinished(step.index, at(step.seconds));
        } else {
            const double left = progress.At(at(step.seconds)).seconds_left;
            if (step.left < 0) {
                EXPECT_GT(left, 0);
                EXPECT_LT(left, kShownSecondsLeft);
            } else {
                EXPECT_NEAR(left, step.left, 0.01);
            }
            if (last_left) {
                // Down with the clock, or run out and never shown again.
                const bool counted_down = left <= *last_left - (step.seconds - last_seconds) + 1e-9;
                const bool ran_out = left < kShownSecondsLeft && left <= *last_left;
                EXPECT_TRUE(counted_down || ran_out) << left << " after " << *last_left
                                                     << ": it rose, or fell slower than the clock";
            }
            last_left = left;
            last_seconds = step.seconds;
        }
    }
    // A measured speed faster than the assumed one lowers it at once.
    CompressionProgress fast(60'000'000, 4, 1);
    fast.ChunkStarted(0, 15'000'000, at(0));
    EXPECT_NEAR(fast.At(at(0)).seconds_left, 40, 0.01);
    fast.ChunkFinished(0, at(1));  // 15 MB/s
    fast.ChunkStarted(1, 15'000'000, at(1));
    EXPECT_NEAR(fast.At(at(1)).seconds_left, 3, 0.01);
}

// ---- Hostile and unusual trees ----------------------------------------------

// With standard error a log, pack prints a plain line per interval (lowered
// here to 1 ms) whose percent never falls and whose estimate never rises,
// then 100 %.
TEST(PackJson, ProgressIntoALogIsPlainLines) {
    const TempDir dir;
    test::AddDefaultLauncherFiles(dir / "tree");
    WriteFile(dir / "tree/words.txt", test::WordSalad(3 << 20, 7));
    ::setenv("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING", "1", /*overwrite=*/1);
    const auto run = RunPacker({"pack", dir / "tree", "-o", dir / "p.bin", "--jobs", "1"});
    ::unsetenv("KORVANTHELM_PACK_PROGRESS_MS_FOR_TESTING");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << "the digests only";
    const std::regex line(
        R"(korvanthelm-pack: compressing: (\d+) %, ([01]) of 1 chunks, \d+ s(, about (\d+) s left)?)");
    std::size_t lines = 0;
    int last_percent = -1;
    long last_left = -1;
    std::string last;
    std::size_t start = 0;
    while (start < run.err.size()) {
        const std::size_t end = run.err.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "every line ends: " << run.err;
        last = run.err.substr(start, end - start);
        start = end + 1;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(last, match, line)) << last;
        ++lines;
        const int percent = std::stoi(match[1]);
        EXPECT_GE(percent, last_percent) << last;
        last_percent = percent;
        if (match[4].matched) {
            const long left = std::stol(match[4]);
            EXPECT_TRUE(last_left < 0 || left <= last_left) << last;
            last_left = left;
        }
    }
    EXPECT_GE(lines, 2u) << run.err;
    EXPECT_EQ(last.substr(0, 52), "korvanthelm-pack: compressing: 100 %, 1 of 1 chunks,") << last;
}

}  // namespace
}  // namespace korvanthelm::pack
