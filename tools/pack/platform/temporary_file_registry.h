// The process's list of temporary files that must not outlive it. A file is
// registered the moment it exists and unregistered once it is renamed into
// place or removed; whatever is still registered is removed by an atexit
// handler and by a handler for SIGINT, SIGTERM and SIGHUP, which then dies of
// the same signal so the caller sees how the run ended. Each entry remembers
// the process that registered it: a forked child that exits or is signalled
// never removes its parent's files. On Windows a console control handler
// (Ctrl+C, Ctrl+Break, the console closed, logoff, shutdown) takes the
// signals' place: it removes the files and lets the process end as it would
// have.
#pragma once

#include <csignal>
#include <string>

namespace korvanthelm::pack {

// Adds `path` (the exact name the file was created under). The first call
// installs the handlers; a signal this process ignores (nohup's SIGHUP) stays
// ignored. Throws std::bad_alloc only.
void RegisterTemporaryFile(const std::string& path);

// Removes `path` from the list without touching the file: call it after the
// file was renamed away or unlinked. Unknown paths are ignored.
void UnregisterTemporaryFile(const std::string& path);

// Holds SIGINT, SIGTERM and SIGHUP back in the calling thread for its
// lifetime, so that creating a file and registering it happen as one step;
// a signal that arrives meanwhile is handled at destruction, once the file
// is on the list. On Windows it holds the list itself: the console control
// handler, which runs on a thread of its own, waits until the file is on it.
class TemporaryFileSignalsHeld {
  public:
    TemporaryFileSignalsHeld();
    ~TemporaryFileSignalsHeld();
    TemporaryFileSignalsHeld(const TemporaryFileSignalsHeld&) = delete;
    TemporaryFileSignalsHeld& operator=(const TemporaryFileSignalsHeld&) = delete;

#ifndef _WIN32
  private:
    sigset_t previous_;
#endif
};

}  // namespace korvanthelm::pack
