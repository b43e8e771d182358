#include "tests/host/pack/pack_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace korvanthelm::pack::test {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : name_(std::move(name)) {
    if (const char* const old = std::getenv(name_.c_str())) {
        before_ = old;
    }
    ::setenv(name_.c_str(), value.c_str(), /*overwrite=*/1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (before_) {
        ::setenv(name_.c_str(), before_->c_str(), /*overwrite=*/1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/pack-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);  // does not follow links
}

MountedTmpfs::MountedTmpfs(const std::string& path, std::uint64_t size) : path_(path) {
    std::filesystem::create_directories(path_);
    const std::string options = "size=" + std::to_string(size);
    mounted_ = ::mount("korvanthelm-test", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

MountedTmpfs::~MountedTmpfs() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
}

void WriteFile(const std::string& path, const std::string& content) {
    WriteFile(path, std::vector<std::byte>(
                        reinterpret_cast<const std::byte*>(content.data()),
                        reinterpret_cast<const std::byte*>(content.data()) + content.size()));
}

void WriteFile(const std::string& path, const std::vector<std::byte>& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::byte> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::vector<std::byte>(reinterpret_cast<const std::byte*>(bytes.data()),
                                  reinterpret_cast<const std::byte*>(bytes.data()) + bytes.size());
}

std::string MinimalPeFile(const std::string& text) {
    constexpr std::size_t kNewHeaderField = 0x3C;  // e_lfanew
    constexpr std::size_t kPeSignature = 0x40;
    std::string file = "MZ " + text.substr(0, kNewHeaderField - 3);
    file.resize(kPeSignature, '\0');
    file[kNewHeaderField] = static_cast<char>(kPeSignature);
    return file + std::string("PE\0\0", 4);
}

void AddDefaultLauncherFiles(const std::string& tree) {
    WriteFile(tree + "/KORVANTHELM/KORVANTHELM.exe", MinimalPeFile("set-up program"));
    WriteFile(tree + "/KORVANTHELM/launcher/KorvanThelmLauncher.exe", "MZ launcher");
    WriteFile(tree + "/KORVANTHELM/launcher/app/KorvanThelm.jar", "PK jar");
}

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

PackerRun::PackerRun(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& program) {
    const std::string out_path = capture_ / "out";
    const std::string err_path = capture_ / "err";
    std::vector<std::string> argv_storage = program;
    if (argv_storage.empty()) {
        argv_storage.push_back(KORVANTHELM_PACK_EXE);
    }
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // The child sets up its own working folder and redirections before exec.
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
}

PackerRun::~PackerRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

RunResult PackerRun::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool timed_out = false;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
        if (!timed_out && std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            timed_out = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(capture_ / "out"),
                     Slurp(capture_ / "err")};
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.timed_out = timed_out;
    return result;
}

RunResult RunPacker(const std::vector<std::string>& args, const std::string& cwd,
                    std::chrono::milliseconds limit) {
    PackerRun run(args, cwd);
    return run.Wait(limit);
}

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

bool WindowsPackerGiven() {
    return !Variable("KORVANTHELM_TEST_WINDOWS_PACKER").empty() &&
           !Variable("KORVANTHELM_TEST_WINE_RUN").empty();
}

std::optional<RunResult> RunWindowsPacker(const std::vector<std::string>& args,
                                          const std::string& cwd) {
    if (!WindowsPackerGiven()) {
        return std::nullopt;
    }
    PackerRun run(
        args, cwd,
        {Variable("KORVANTHELM_TEST_WINE_RUN"), Variable("KORVANTHELM_TEST_WINDOWS_PACKER")});
    return run.Wait(kDefaultRunLimit);
}

bool SameRefusalText(const std::string& linux_err, const std::string& windows_err) {
    if (linux_err == windows_err) {
        return true;
    }
    // strerror's texts are this system's whole list: a line ending in one of
    // them ends in the system's words, which Windows says its own way.
    const std::size_t last = linux_err.rfind(": ");
    if (last == std::string::npos || linux_err.empty() || linux_err.back() != '\n' ||
        linux_err.find('\n') != linux_err.size() - 1) {
        return false;
    }
    const std::string tail = linux_err.substr(last + 2, linux_err.size() - last - 3);
    bool system_words = false;
    for (int error = 1; error < 200 && !system_words; ++error) {
        system_words = tail == std::strerror(error);
    }
    return system_words && windows_err.starts_with(linux_err.substr(0, last + 2)) &&
           windows_err.size() > last + 3 && windows_err.back() == '\n' &&
           windows_err.find('\n') == windows_err.size() - 1;
}

std::vector<std::byte> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::vector<std::byte> bytes(n);
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t value = generator();
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) {
            bytes[i + k] = static_cast<std::byte>(value >> (8 * k));
        }
    }
    return bytes;
}

std::string WordSalad(std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"launcher", "package", "entry",  "folder", "class",
                                         "import",   "public",  "static", "void",   "return",
                                         "string",   "table",   "chunk",  "bytes",  "lzms"};
    std::mt19937 generator(seed);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += kWords[generator() % std::size(kWords)];
        text += (generator() % 12 == 0) ? '\n' : ' ';
    }
    text.resize(size);
    return text;
}

void PutLittleEndian(std::vector<std::byte>& image, std::size_t offset, std::uint64_t value,
                     int size) {
    for (int i = 0; i < size; ++i) {
        image.at(offset + i) = static_cast<std::byte>(value >> (8 * i));
    }
}

std::vector<std::byte> MakeSignableImage() {
    constexpr std::size_t kPe = kSignableImagePe;
    constexpr std::size_t kOptional = kSignableImageOptional;
    std::vector<std::byte> image(2 * kSignableImageHeaders, std::byte{0});
    image[0] = std::byte{'M'};
    image[1] = std::byte{'Z'};
    PutLittleEndian(image, 0x3C, kPe, 4);
    PutLittleEndian(image, kPe, 0x00004550, 4);
    PutLittleEndian(image, kPe + 4, 0x8664, 2);
    PutLittleEndian(image, kPe + 20, 240, 2);  // optional header size
    PutLittleEndian(image, kOptional, 0x20B, 2);
    PutLittleEndian(image, kOptional + 32, 0x1000, 4);  // SectionAlignment
    PutLittleEndian(image, kOptional + 36, 0x200, 4);   // FileAlignment
    PutLittleEndian(image, kOptional + 60, kSignableImageHeaders, 4);
    PutLittleEndian(image, kOptional + 108, 16, 4);  // data directories
    for (std::size_t i = kSignableImageHeaders; i < image.size(); ++i) {
        image[i] = static_cast<std::byte>(i * 7);
    }
    return image;
}

}  // namespace korvanthelm::pack::test
