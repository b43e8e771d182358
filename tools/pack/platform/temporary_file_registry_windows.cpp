#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tools/pack/platform/temporary_file_registry.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// Recursive: a thread that holds the list (TemporaryFileSignalsHeld) also
// registers while holding it. The console control handler takes it from its
// own thread and so waits for any change in progress.
struct Registry {
    std::recursive_mutex lock;
    std::vector<std::string> paths;
    bool handlers_installed = false;
};

// Never destroyed: the atexit handler and a late Ctrl+C still find it after
// static destruction has begun.
Registry& TheRegistry() {
    static Registry* const registry = new Registry;
    return *registry;
}

// Paths are dropped as they are removed, so a second pass (Ctrl+C during
// exit) removes nothing twice.
void RemoveRegisteredFiles() {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::recursive_mutex> lock(registry.lock);
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
