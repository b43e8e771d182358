// temporary_files.h on Windows.
#include "tools/pack/platform/temporary_files.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <random>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// Recursive: a thread that holds the list (TemporaryFileSignalsHeld) also
// registers while holding it. The console control handler takes it from its
// own thread and so waits for any change in progress.
struct Registry {
    std::recursive_mutex lock;
    std::vector<std::string> paths;
    std::vector<HANDLE> jobs;  // signers' job objects, ended before the files go
    bool handlers_installed = false;
};

// Never destroyed: the atexit handler and a late Ctrl+C still find it after
// static destruction has begun.
Registry& TheRegistry() {
    static Registry* const registry = new Registry;
    return *registry;
}

// How long the handlers wait for a signer's processes to be gone after
// ending them: TerminateJobObject returns before they have exited, and a file
// one of them still holds open cannot be removed.
constexpr DWORD kJobEndWaitMilliseconds = 5000;
constexpr DWORD kJobPollMilliseconds = 10;

// Ends every process in `job` and waits (bounded) until none is left.
void EndJob(HANDLE job) {
    TerminateJobObject(job, /*exit_code=*/1);
    for (DWORD waited = 0; waited < kJobEndWaitMilliseconds; waited += kJobPollMilliseconds) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, /*returned=*/nullptr) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(kJobPollMilliseconds);
    }
}

// Signers are ended first, then the files removed. Paths are dropped as they
// are removed, so a second pass (Ctrl+C during exit) removes nothing twice.
void RemoveRegisteredFiles() {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
    for (HANDLE& job : registry.jobs) {
        if (job != nullptr) {
            EndJob(job);
            job = nullptr;
        }
    }
    for (std::string& path : registry.paths) {
        if (!path.empty()) {
            DeleteFileW(WidePath(path).c_str());
            path.clear();
        }
    }
}

void RemoveAtExit() {
    RemoveRegisteredFiles();
}

// FALSE: the next handler, in the end the system's, still ends the process
// with the exit code a Ctrl+C gives, so the caller sees how the run ended.
BOOL WINAPI RemoveOnControl(DWORD /*event*/) {
    RemoveRegisteredFiles();
    return FALSE;
}

void InstallHandlers(Registry& registry) {
    if (registry.handlers_installed) {
        return;
    }
    registry.handlers_installed = true;
    std::atexit(RemoveAtExit);
    SetConsoleCtrlHandler(RemoveOnControl, /*add=*/TRUE);
}

}  // namespace

TemporaryFileSignalsHeld::TemporaryFileSignalsHeld() {
    TheRegistry().lock.lock();
}

TemporaryFileSignalsHeld::~TemporaryFileSignalsHeld() {
    TheRegistry().lock.unlock();
}

void RegisterTemporaryFile(const std::string& path) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
    InstallHandlers(registry);
    // Places already removed or unregistered are reused before the list grows.
    const auto free_place = std::find(registry.paths.begin(), registry.paths.end(), std::string());
    if (free_place != registry.paths.end()) {
        *free_place = path;
    } else {
        registry.paths.push_back(path);
    }
}

void UnregisterTemporaryFile(const std::string& path) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
    const auto found = std::find(registry.paths.begin(), registry.paths.end(), path);
    if (found != registry.paths.end() && !path.empty()) {
        found->clear();
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

TemporaryFile::TemporaryFile(const std::string& folder, const std::string& prefix,
                             const std::string& suffix)
    : owner_pid_(static_cast<int>(GetCurrentProcessId())) {
    std::string created;
    // Created and listed as one step: a Ctrl+C in between cannot leave the
    // copy (possibly the whole unsigned exe) behind.
    const TemporaryFileSignalsHeld held;
    int error = 0;
    UniqueFd file = CreateNewFile(folder + "/" + prefix, suffix, created, error);
    if (!file) {
        throw PackError("cannot create a temporary file in \"" + folder +
                        "\": " + WindowsErrorText(static_cast<DWORD>(error)));
    }
    // Closed now: the program that works on the copy opens it by name.
    file.reset();
    try {
        RegisterTemporaryFile(created);
    } catch (...) {
        DeleteFileW(WidePath(created).c_str());
        throw;
    }
    path_ = std::move(created);
}

// Windows has no fork: the owner is always this process.
TemporaryFile::~TemporaryFile() {
    DeleteFileW(WidePath(path_).c_str());
    UnregisterTemporaryFile(path_);
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// 62^6 names: a clash is rare, a hundred in a row means something else is wrong.
constexpr int kAttempts = 100;
constexpr std::string_view kLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

}  // namespace

UniqueFd CreateNewFile(const std::string& before, const std::string& after, std::string& created,
                       int& error) {
    // random_device is the system's generator (rand_s) with this runtime.
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = before;
        for (int i = 0; i < 6; ++i) {
            name.push_back(kLetters[pick(device)]);
        }
        name += after;
        const std::wstring wide = WidePath(name);
        // Shared for reading only: nobody writes, renames or removes it meanwhile.
        UniqueFd file(
            CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                        /*security=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        /*template=*/nullptr),
            wide);
        if (file) {
            created = std::move(name);
            error = 0;
            return file;
        }
        const DWORD last = GetLastError();
        if (last != ERROR_FILE_EXISTS && last != ERROR_ALREADY_EXISTS) {
            error = static_cast<int>(last);
            return {};
        }
    }
    error = ERROR_FILE_EXISTS;
    return {};
}

void RegisterChildJob(void* job) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
    InstallHandlers(registry);
    const auto free_place = std::find(registry.jobs.begin(), registry.jobs.end(), nullptr);
    if (free_place != registry.jobs.end()) {
        *free_place = job;
    } else {
        registry.jobs.push_back(job);
    }
}

void UnregisterChildJob(void* job) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
    const auto found = std::find(registry.jobs.begin(), registry.jobs.end(), job);
    if (found != registry.jobs.end() && job != nullptr) {
        *found = nullptr;
    }
}

}  // namespace korvanthelm::pack
