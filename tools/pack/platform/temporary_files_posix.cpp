// temporary_files.h on POSIX systems (Linux).
#include "tools/pack/platform/temporary_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct Entry {
    std::string path;
    pid_t owner;
};

// One lock for the list, taken by threads with the cleanup signals held back
// (so a handler never interrupts its own thread's holder) and by the signal
// handler, which may then wait for another thread to finish a change. A spin
// lock on an atomic flag, since a mutex may not be taken in a signal handler.
struct Group {
    pid_t group;
    pid_t owner;  // 0: a free entry
};

struct Registry {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::vector<Entry> entries;
    std::vector<Group> groups;
    bool handlers_installed = false;
};

// Never destroyed: the atexit handler and a late signal still find it after
// static destruction has begun.
Registry& TheRegistry() {
    static Registry* const registry = new Registry;
    return *registry;
}

class RegistryLock {
  public:
    explicit RegistryLock(Registry& registry) : registry_(registry) {
        while (registry_.busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~RegistryLock() { registry_.busy.clear(std::memory_order_release); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

  private:
    Registry& registry_;
};

// Only async-signal-safe calls: getpid, kill and unlink. The children's
// groups go first, so that none of them writes a file after it was removed.
// Entries are dropped so a second pass (a signal during exit) unlinks
// nothing twice.
void RemoveOwnFiles() {
    Registry& registry = TheRegistry();
    const RegistryLock lock(registry);
    const pid_t self = ::getpid();
    for (Group& group : registry.groups) {
        if (group.owner == self && group.group > 0) {
            ::kill(-group.group, SIGKILL);
            group.owner = 0;
        }
    }
    for (Entry& entry : registry.entries) {
        if (entry.owner == self && !entry.path.empty()) {
            ::unlink(entry.path.c_str());
            entry.owner = 0;
        }
    }
}

void RemoveAtExit() {
    RemoveOwnFiles();
}

void RemoveAndDie(int signal_number) {
    RemoveOwnFiles();
    // Back to the default action, then the same signal again: it arrives once
    // this handler returns and ends the process with the status the caller
    // expects from that signal.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void InstallHandlers(Registry& registry) {
    if (registry.handlers_installed) {
        return;
    }
    registry.handlers_installed = true;
    std::atexit(RemoveAtExit);
    struct sigaction action {};
    action.sa_handler = RemoveAndDie;
    // The other cleanup signals wait while one is handled: a second handler
    // on this thread would spin on the lock the first one holds.
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kCleanupSignals) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : kCleanupSignals) {
        struct sigaction previous {};
        if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;  // ignored on purpose by whoever started us
        }
        ::sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace

TemporaryFileSignalsHeld::TemporaryFileSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : kCleanupSignals) {
        sigaddset(&held, signal_number);
    }
    ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

TemporaryFileSignalsHeld::~TemporaryFileSignalsHeld() {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void RegisterTemporaryFile(const std::string& path) {
    const TemporaryFileSignalsHeld held;
    Registry& registry = TheRegistry();
    const RegistryLock lock(registry);
    InstallHandlers(registry);
    // Entries already removed or unregistered are reused before the list grows.
    const auto free_entry = std::find_if(registry.entries.begin(), registry.entries.end(),
                                         [](const Entry& entry) { return entry.owner == 0; });
    if (free_entry != registry.entries.end()) {
        *free_entry = {path, ::getpid()};
    } else {
        registry.entries.push_back({path, ::getpid()});
    }
}

void RegisterChildProcessGroup(pid_t group) {
    const TemporaryFileSignalsHeld held;
    Registry& registry = TheRegistry();
    const RegistryLock lock(registry);
    InstallHandlers(registry);
    const auto free_entry = std::find_if(registry.groups.begin(), registry.groups.end(),
                                         [](const Group& entry) { return entry.owner == 0; });
    if (free_entry != registry.groups.end()) {
        *free_entry = {group, ::getpid()};
    } else {
        registry.groups.push_back({group, ::getpid()});
    }
}

void UnregisterChildProcessGroup(pid_t group) {
    const TemporaryFileSignalsHeld held;
    Registry& registry = TheRegistry();
    const RegistryLock lock(registry);
    for (Group& entry : registry.groups) {
        if (entry.owner != 0 && entry.group == group) {
            entry.owner = 0;
            return;
        }
    }
}

void UnregisterTemporaryFile(const std::string& path) {
    const TemporaryFileSignalsHeld held;
    Registry& registry = TheRegistry();
    const RegistryLock lock(registry);
    for (Entry& entry : registry.entries) {
        if (entry.owner != 0 && entry.path == path) {
            entry.owner = 0;
            entry.path.clear();
            return;
        }
    }
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

TemporaryFile::TemporaryFile(const std::string& folder, const std::string& prefix,
                             const std::string& suffix)
    : owner_pid_(::getpid()) {
    std::string pattern = folder + "/" + prefix + "XXXXXX" + suffix;
    // Created and listed as one step: a signal in between cannot leave the
    // copy (possibly the whole unsigned exe) behind.
    const TemporaryFileSignalsHeld held;
    // O_CLOEXEC: no program started meanwhile inherits the descriptor.
    const UniqueFd fd(::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
    if (!fd) {
        throw PackError("cannot create a temporary file in \"" + folder +
                        "\": " + std::strerror(errno));
    }
    try {
        RegisterTemporaryFile(pattern);
    } catch (...) {
        ::unlink(pattern.c_str());
        throw;
    }
    path_ = std::move(pattern);
}

TemporaryFile::~TemporaryFile() {
    // A forked child that unwinds must not take its parent's file away.
    if (::getpid() == owner_pid_) {
        ::unlink(path_.c_str());
        UnregisterTemporaryFile(path_);
    }
}

}  // namespace korvanthelm::pack
