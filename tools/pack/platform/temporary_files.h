// Temporary files that never outlive the packer: made under a fresh name,
// listed from the moment they exist, and removed on every way out. POSIX in
// temporary_files_posix.cpp, Windows in temporary_files_windows.cpp.
#pragma once

#include <csignal>
#include <string>

#ifndef _WIN32
#include <sys/types.h>
#endif

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

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

// Adds `path` (the exact name the file was created under). The first call
// installs the handlers; a signal this process ignores (nohup's SIGHUP) stays
// ignored. Throws std::bad_alloc only.
void RegisterTemporaryFile(const std::string& path);

// Removes `path` from the list without touching the file: call it after the
// file was renamed away or unlinked. Unknown paths are ignored.
void UnregisterTemporaryFile(const std::string& path);

#ifndef _WIN32
// Adds the process group `group`, that of a child started in a group of its
// own (a signer): on SIGINT, SIGTERM or SIGHUP, and at exit, the group is
// killed (SIGKILL) before the files are removed, so nothing it would write
// lands after them, and it does not outlive the packer. Call it with the
// signals held (TemporaryFileSignalsHeld) from the moment the child exists.
// Throws std::bad_alloc only.
void RegisterChildProcessGroup(pid_t group);

// Removes `group` from the list once its leader was waited for.
void UnregisterChildProcessGroup(pid_t group);
#else
// Windows' counterpart: adds the job object `job` (a HANDLE) that holds a
// child (a signer) and everything it starts. The console control handler
// and the atexit handler end every process in it (TerminateJobObject) and
// wait, up to a few seconds, until none is left, before the files are
// removed: so nothing the signer writes lands after them, and no file is
// kept from removal by a signer that still holds it open. The caller keeps
// owning the handle and unregisters it before closing it. Throws
// std::bad_alloc only.
void RegisterChildJob(void* job);

// Removes `job` from the list; unknown handles are ignored.
void UnregisterChildJob(void* job);
#endif

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

// A private temporary file beside an output, for work a program outside the
// packer does on a copy (the signers): the file exists, empty, from the
// moment the owner is made, and whatever is at its path is removed when the
// owner goes, on every path out of its scope, also while a PackError passes
// through. It is on the process's list of temporary files from the moment it
// exists, so SIGINT, SIGTERM or SIGHUP meanwhile removes it too.
class TemporaryFile {
  public:
    // An empty file named `folder`/`prefix`XXXXXX`suffix` (hidden when the
    // prefix starts with a dot). Throws PackError "cannot create a temporary
    // file in "FOLDER": REASON"; nothing is left behind then.
    TemporaryFile(const std::string& folder, const std::string& prefix, const std::string& suffix);
    // Removes the path, unless this process is a fork of the one that made it.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int owner_pid_;
};

// A new file under a name no other file has, made in one step: the Windows
// counterpart of mkostemps, for the packer's temporary files. Windows only.
#ifdef _WIN32
// Creates `before` + six random letters or digits + `after` (CREATE_NEW, so
// an existing file is never opened), open for reading, writing and deleting,
// shared for reading only. On success `created` holds the name, as UTF-8 like `before`.
// Empty, with `error` set to the system's error code, when no file could be
// made (names already taken are tried again with other letters).
UniqueFd CreateNewFile(const std::string& before, const std::string& after, std::string& created,
                       int& error);
#endif  // _WIN32

}  // namespace korvanthelm::pack
