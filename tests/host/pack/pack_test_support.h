// Helpers for the packer's tests: scratch trees in a private temporary
// folder, and runs of the real korvanthelm-pack binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvanthelm::pack::test {

// A fresh folder under TMPDIR (or /tmp), removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// An environment variable set for this object's life and put back as it was
// after it, also when a failed assertion leaves the test early.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> before_;
};

// A fresh tmpfs of `size` bytes mounted at `path` (a folder it makes), gone
// with this object. Mounting needs root: mounted() says whether it is there.
class MountedTmpfs {
  public:
    MountedTmpfs(const std::string& path, std::uint64_t size);
    ~MountedTmpfs();
    MountedTmpfs(const MountedTmpfs&) = delete;
    MountedTmpfs& operator=(const MountedTmpfs&) = delete;

    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

// Writes `content` to `path`, creating the parent folders.
void WriteFile(const std::string& path, const std::string& content);
void WriteFile(const std::string& path, const std::vector<std::byte>& content);
std::vector<std::byte> ReadFile(const std::string& path);

// A launcher tree with the set-up program, which every package must hold,
// and the two files the packer digests by default.
void AddDefaultLauncherFiles(const std::string& tree);

// The smallest file that is a Windows program to the packer (a DOS header
// whose e_lfanew leads to "PE\0\0"), with `text` inside the DOS header:
// `build` and `verify` refuse a set-up program that is not one.
std::string MinimalPeFile(const std::string& text);

struct RunResult {
    int exit_code;  // -1 when it did not exit normally
    std::string out;
    std::string err;
    int signal = 0;          // the signal that ended it, 0 when it exited
    bool timed_out = false;  // killed (SIGKILL) for running past its time limit
};

// Long enough for the 2 GiB tests on a slow shared machine; a run that takes
// longer hangs, and is stopped so the test fails instead of the whole suite.
inline constexpr std::chrono::seconds kDefaultRunLimit{1800};

// korvanthelm-pack started with `args` (each passed as one argument) in the
// working folder `cwd`, stdin from /dev/null, stdout and stderr captured.
// `program` replaces the packer when not empty: the command that starts
// another packer (the Windows one under Wine), `args` after it.
// A run not waited for is killed and reaped on destruction.
class PackerRun {
  public:
    explicit PackerRun(const std::vector<std::string>& args, const std::string& cwd = ".",
                       const std::vector<std::string>& program = {});
    ~PackerRun();
    PackerRun(const PackerRun&) = delete;
    PackerRun& operator=(const PackerRun&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the end, killing the run with SIGKILL once `limit` has passed.
    RunResult Wait(std::chrono::milliseconds limit = kDefaultRunLimit);

  private:
    TempDir capture_;
    pid_t pid_ = -1;
};

// A PackerRun waited for.
RunResult RunPacker(const std::vector<std::string>& args, const std::string& cwd = ".",
                    std::chrono::milliseconds limit = kDefaultRunLimit);

// The Windows packer, korvanthelm-pack.exe, run with the same `args` under
// Wine, when the environment names it: KORVANTHELM_TEST_WINDOWS_PACKER (the
// exe) and KORVANTHELM_TEST_WINE_RUN (the wrapper that runs a program in the
// build's Wine prefix). nullopt when they are not set: the tables that run
// through both packers then check the Linux one alone.
std::optional<RunResult> RunWindowsPacker(const std::vector<std::string>& args,
                                          const std::string& cwd = ".");
bool WindowsPackerGiven();

// True when the Windows packer's standard error says what the Linux packer's
// says: the same text, or, where the Linux line ends in the system's words
// for an error (": " and a strerror text), the same text up to them, followed
// by the other system's words on one line.
bool SameRefusalText(const std::string& linux_err, const std::string& windows_err);

// `n` bytes from a seeded generator: the same seed gives the same bytes.
std::vector<std::byte> RandomBytes(std::size_t n, unsigned seed);

// Writes the low `size` bytes of `value` little-endian into `image` at
// `offset`; throws std::out_of_range past its end.
void PutLittleEndian(std::vector<std::byte>& image, std::size_t offset, std::uint64_t value,
                     int size);

// The smallest image osslsigncode signs: PE32+ headers (the PE header at
// kSignableImagePe, headers of kSignableImageHeaders bytes) and one page of
// code-like bytes after them.
inline constexpr std::size_t kSignableImagePe = 0x40;
inline constexpr std::size_t kSignableImageOptional = kSignableImagePe + 24;
inline constexpr std::size_t kSignableImageHeaders = 0x200;
std::vector<std::byte> MakeSignableImage();

// `size` bytes of words from a seeded generator: compresses like text,
// without being trivially repetitive.
std::string WordSalad(std::size_t size, unsigned seed);

}  // namespace korvanthelm::pack::test
