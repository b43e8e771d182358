// build's signing steps as a studio runs them: only timestamp replies that
// verify accepts are kept, and a killed build leaves no signer and no copy.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/pack/pack_test_support.h"
#include "tests/host/pack/synthetic_stub.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/signing/signer_failure.h"

namespace {

// Set by SignerFailure.FullDiskNamedOnlyWhenTheCopyCannotFit alone.
std::atomic<int> fallocate_answer{0};

}  // namespace

// What a disk answers to a reservation, on request: the packer asks through
// posix_fallocate, and this test program defines it over the C library's.
// While fallocate_answer is not 0 that is the answer; otherwise the
// library's own call answers.
extern "C" int posix_fallocate(int fd, off_t offset, off_t size) {
    using Reserve = int (*)(int, off_t, off_t);
    static const auto library = reinterpret_cast<Reserve>(dlsym(RTLD_NEXT, "posix_fallocate"));
    if (library == nullptr) {
        std::abort();
    }
    const int answer = fallocate_answer;
    return answer != 0 ? answer : library(fd, offset, size);
}

namespace korvanthelm::pack {
namespace {

using namespace synthetic;

// build keeps a timestamp only when verify would accept it: each reply of
// the test authority (tests/signing/time_stamping_authority.py, POST /KIND)
// that must not be believed counts as a failed attempt, three of them end the
// run with one line naming the last cause, and nothing is written. A sound
// reply is kept and shown by verify.
TEST(BuildTimestamps, OnlyRepliesVerifyAccepts) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    const std::string in = "cd '" + dir.path() + "' && ";
    ASSERT_EQ(std::system((in + "(" + KORVANTHELM_PYTHON + " " + KORVANTHELM_TSA_SCRIPT +
                           " --openssl " + KORVANTHELM_OPENSSL +
                           " --dir tsa --lifetime 300 --signer-cert cert.pem --signer-key key.pem"
                           " >port 2>tsa.log & echo $! >tsa.pid)")
                              .c_str()),
              0);
    ASSERT_EQ(std::system((in + KORVANTHELM_OPENSSL +
                           " req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=builder"
                           " -keyout key.pem -out cert.pem >/dev/null 2>&1")
                              .c_str()),
              0);
    std::string port;
    for (int i = 0; i < 600 && port.empty(); ++i) {
        std::ifstream file(dir / "port");
        std::string line;
        if (std::getline(file, line) && !file.eof()) {
            port = line;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_FALSE(port.empty()) << "the test authority did not start";
    const std::string url = "http://127.0.0.1:" + port + "/";

    struct Case {
        const char* kind;  // "" for the sound authority
        const char* cause;
    };
    const Case kCases[] = {
        {"wrong-imprint", "refused: the timestamp was not made for this signature"},
        {"altered-time", "refused: the timestamp's signature does not verify"},
        {"no-certificate", "refused: the timestamp does not carry its authority's certificate"},
        {"no-usage", "refused: the timestamp's authority certificate is not a time-stamping one"},
        {"signer-key", "refused: the timestamp's authority certificate is not a time-stamping one"},
        {"wrong-time", "refused: the timestamp's time lies outside its authority certificate's"},
        {"garbage", "the reply is not an RFC 3161 timestamp reply"},
        {"status-2", "the server refused to timestamp (status 2)"},
        {"", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.kind);
        const std::string out = dir / (std::string("stamped-") + c.kind + ".exe");
        const auto run = test::RunPacker(
            {"build", tree, "-o", out, "--stub", dir / "stub.exe", "--sign-cert", dir / "cert.pem",
             "--sign-key", dir / "key.pem", "--timestamp-url", url + c.kind},
            ".", std::chrono::seconds(120));
        if (c.cause == nullptr) {
            EXPECT_EQ(run.exit_code, 0) << run.err;
            const auto verified = test::RunPacker({"verify", out, "--stub", dir / "stub.exe"});
            EXPECT_EQ(verified.exit_code, 0) << verified.err;
            EXPECT_NE(verified.out.find("Signature: timestamped "), std::string::npos)
                << verified.out;
            continue;
        }
        EXPECT_EQ(run.exit_code, 1) << run.err;
        const std::string last =
            "korvanthelm-pack: no timestamp server gave a timestamp (last: " + url + c.kind + ": ";
        EXPECT_NE(run.err.find(last), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(last + c.cause), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("failed (attempt 3 of 3)"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out));
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_EQ(entry.path().filename().string().find(".korvanthelm-signing-"),
                      std::string::npos)
                << entry.path();
        }
    }
    std::system((in + "kill $(cat tsa.pid)").c_str());
}

// A signal while the signing command runs ends the command's whole process
// group and removes the signing copies before the packer dies of that
// signal: no file is left beside the output, the signer (a shell and the
// sleep it waits on) is gone, and nothing it would have written later lands.
TEST(BuildSigningCommand, KilledMeansCleaned) {
    const test::TempDir dir;
    const std::string tree = dir / "tree";
    test::AddDefaultLauncherFiles(tree);
    test::WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", test::MinimalPeFile("set-up program"));
    test::WriteFile(dir / "stub.exe", MakeStub());
    // Says it started, waits, then "signs" (a copy) and leaves a mark: what a
    // signer that outlived the packer would write.
    test::WriteFile(dir / "signer.sh", "echo $$ >'" + dir / "signer.pid" +
                                           "'\n"
                                           "sleep 4\n"
                                           "cp \"$1\" \"$2\"\n"
                                           "echo late >'" +
                                           dir / "late" + "'\n");
    const std::string out = dir / "out";
    std::filesystem::create_directory(out);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        std::filesystem::remove(dir / "signer.pid");
        test::PackerRun run({"build", tree, "-o", out + "/KORVANTHELM.exe", "--stub",
                             dir / "stub.exe", "--sign-command", "sh " + dir / "signer.sh"});
        std::string pid_text;
        for (int i = 0; i < 600 && pid_text.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream file(dir / "signer.pid");
            std::getline(file, pid_text, '\0');
        }
        ASSERT_NE(pid_text.find('\n'), std::string::npos) << "the signing command never started";
        ::kill(run.pid(), signal_number);
        const test::RunResult result = run.Wait(std::chrono::seconds(60));
        EXPECT_EQ(result.signal, signal_number) << result.err;
        const pid_t signer = static_cast<pid_t>(std::stol(pid_text));
        bool gone = false;
        for (int i = 0; i < 40 && !gone; ++i) {
            gone = ::kill(signer, 0) != 0 && errno == ESRCH;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(gone) << "the signing command outlived the packer";
        // Past the signer's sleep: nothing it would have written is there.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        EXPECT_FALSE(std::filesystem::exists(dir / "late"));
        EXPECT_TRUE(std::filesystem::is_empty(out))
            << std::filesystem::directory_iterator(out)->path();
        std::filesystem::remove(dir / "late");
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            std::filesystem::remove(entry.path());
        }
    }
}

// A signer that failed beside a disk without room for its copy (the whole
// input and one byte more) is reported with the disk's reason; with room,
// the signer's own reason is left to stand. tmpfs counts whole pages, so the
// rows sit one page either side of the input. Then what the disk answers
// decides: a full disk, a quota or a file too large is the reason; a file
// system that cannot reserve space (EOPNOTSUPP), or that refuses the request
// otherwise, tells nothing of room.
TEST(SignerFailure, FullDiskNamedOnlyWhenTheCopyCannotFit) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mount -t tmpfs needs root";
    }
    const test::TempDir dir;
    const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::string input = dir / "input.exe";
    test::WriteFile(input, std::string(4 * page, 'x'));
    struct Case {
        const char* what;
        std::uint64_t pages;  // the tmpfs's size
        int answer;           // posix_fallocate's, made up; 0: the tmpfs's own
        const char* reason;   // nullptr: not refused
    };
    const Case kCases[] = {
        {"room for less than the input", 3, 0, "No space left on device"},
        {"room for exactly the input, not one byte more", 4, 0, "No space left on device"},
        {"room for the input and one page more", 5, 0, nullptr},
        {"a quota reached", 5, EDQUOT, "Disk quota exceeded"},
        {"a file too large for the disk", 5, EFBIG, "File too large"},
        {"a disk that cannot reserve space", 5, EOPNOTSUPP, nullptr},
        {"a request the disk does not take", 5, EINVAL, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const test::MountedTmpfs disk(dir / "disk", c.pages * page);
        if (!disk.mounted()) {
            GTEST_SKIP() << "this machine cannot mount a tmpfs";
        }
        const std::string copy = dir / "disk/.korvanthelm-signing-x.exe";
        const struct Answer {
            explicit Answer(int answer) { fallocate_answer = answer; }
            ~Answer() { fallocate_answer = 0; }
            Answer(const Answer&) = delete;
            Answer& operator=(const Answer&) = delete;
        } answer(c.answer);
        try {
            RequireRoomForSignersCopy("osslsigncode", "signed copy", input, copy);
            EXPECT_EQ(c.reason, nullptr) << "the signer's own reason was left to stand";
        } catch (const PackError& error) {
            ASSERT_NE(c.reason, nullptr) << error.what();
            EXPECT_EQ(std::string(error.what()),
                      "osslsigncode could not write the signed copy \"" + copy + "\": " + c.reason);
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
