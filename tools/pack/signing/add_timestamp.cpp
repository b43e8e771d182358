#include "tools/pack/signing/add_timestamp.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/read_timestamp.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/temporary_files.h"
#include "tools/pack/signing/signer_failure.h"
#include "tools/pack/signing/signing_password.h"

namespace korvanthelm::pack {
namespace {

// A timestamp server that fails once often answers the next time; one that
// fails three times in a row is given up for the next one.
constexpr int kTimestampAttempts = 3;
// One attempt (connecting, asking and reading the reply: osslsigncode does
// all three) is given up after this; public servers answer in a second or two.
constexpr std::chrono::seconds kAttemptLimit{30};
// All attempts together, so that a list of silent servers cannot hold a
// release build: past it no attempt is started and the last cause is said.
constexpr std::chrono::seconds kTotalLimit{180};

// Why the timestamped copy at `path` cannot be kept, or an empty text when it
// can: its reply passes the checks verify makes of every timestamp, so that
// build never writes one its own verify refuses.
std::string ReplyProblem(const std::string& path) {
    try {
        if (!ReadSigningTimestamp(ReadWholeFile(path))) {
            return "the reply added no RFC 3161 timestamp";
        }
    } catch (const PackError& error) {
        return error.what();
    }
    return std::string();
}

}  // namespace

void AddTimestamp(const std::string& signed_path, const std::vector<std::string>& urls,
                  const std::string& folder, const std::function<void(const std::string&)>& note) {
    // Named like the signing copies beside it: hidden, removed with its owner.
    const TemporaryFile stamped(folder, ".korvanthelm-signing-", ".exe");
    std::string last_reason;
    const auto started = std::chrono::steady_clock::now();
    for (const std::string& url : urls) {
        for (int attempt = 1; attempt <= kTimestampAttempts; ++attempt) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
            if (spent >= kTotalLimit) {
                throw PackError("no timestamp server gave a timestamp within " +
                                std::to_string(kTotalLimit.count()) + " s (last: " + last_reason +
                                ")");
            }
            std::remove(stamped.path().c_str());  // a file left by an earlier try
            const ProgramRun run =
                RunProgram({"osslsigncode", "add", "-h", "sha256", "-ts", url, "-in", signed_path,
                            "-out", stamped.path()},
                           ProgramInput{.secret = std::nullopt,
                                        .hidden_variable = kSigningPasswordVariable,
                                        .time_limit = std::min<std::chrono::milliseconds>(
                                            kAttemptLimit, kTotalLimit - spent)});
            std::string problem =
                run.timed_out ? "no reply within " + std::to_string(kAttemptLimit.count()) + " s"
                : run.status == 0 ? ReplyProblem(stamped.path())
                                  : TimestampFailureReason(run.output);
            if (!problem.empty() && !run.timed_out) {
                RequireRoomForSignersCopy("osslsigncode", "timestamped copy", signed_path,
                                          stamped.path());
            }
            if (problem.empty()) {
                if (std::rename(stamped.path().c_str(), signed_path.c_str()) != 0) {
                    throw PackError(std::string("cannot rename the timestamped file: ") +
                                    std::strerror(errno));
                }
                return;
            }
            last_reason = url + ": " + problem;
            note("timestamp server " + url + " failed (attempt " + std::to_string(attempt) +
                 " of " + std::to_string(kTimestampAttempts) + ")");
            if (attempt < kTimestampAttempts) {
                std::this_thread::sleep_for(std::chrono::seconds(attempt));
            }
        }
    }
    throw PackError("no timestamp server gave a timestamp (last: " + last_reason + ")");
}

}  // namespace korvanthelm::pack
