// Folders: opened, listed and walked without following a link, their entries
// examined, and the folders the packer itself makes and removes. POSIX in
// folders_posix.cpp, Windows in folders_windows.cpp, the parts that are the
// same on both in folders.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// Opens folders for listing and for opening what is inside them.

// The folder at `path`, close-on-exec. A link named as `path` itself is
// followed: the caller chose it. Empty, with `error` set to the system's
// error code, when it is not a folder or cannot be opened.
UniqueFd OpenFolder(const std::string& path, int& error);

// The folder `name` inside the folder open at `folder`, close-on-exec, never
// through a link: a link there fails (ELOOP or ENOTDIR in `error`), so a link
// put in place after the folder was examined is refused, not followed.
UniqueFd OpenFolderInside(const UniqueFd& folder, const std::string& name, int& error);

// The file `name` inside the folder open at `folder`, for reading,
// close-on-exec, never through a link (a link there fails, as above). The
// open never blocks: a FIFO opens at once, for the caller to refuse on
// examining it.
UniqueFd OpenFileInside(const UniqueFd& folder, const std::string& name, int& error);

// Lists the names in a folder.

// The names in the folder open at `folder`, "." and ".." left out, in the
// file system's order (callers sort). `folder` stays open and usable: the
// listing reads through a descriptor of its own. false, with `error` set to
// the system's error code, when the folder cannot be read; `names` then holds
// what was read before.
bool ListFolder(const UniqueFd& folder, std::vector<std::string>& names, int& error);

// What kind of thing a folder entry or an open file is, and its size.
enum class EntryKind {
    kRegularFile,
    kFolder,
    kSymbolicLink,
    kOther,  // FIFO, socket, device
};

struct EntryStatus {
    EntryKind kind;
    std::uint64_t size;  // in bytes; meaningful for a regular file
};

// The entry `name` in the folder open at `folder`; a link is examined as
// itself, never followed. false, with `error` set to the system's error code,
// when it cannot be examined.
bool ExamineEntry(const UniqueFd& folder, const std::string& name, EntryStatus& status, int& error);

// The file open at `file`. false, with `error` set, when it cannot be examined.
bool ExamineOpenFile(const UniqueFd& file, EntryStatus& status, int& error);

// Opens a file of a tree again, by its path inside the tree, without
// following any link on the way.

// The file at `relative` ('/' between components) below the folder open at
// `root`, opened for reading, close-on-exec, one component at a time with no
// link followed, so a link put in place after the tree was scanned fails
// instead of leading out of it. The open never blocks: a FIFO swapped in
// opens at once, for the caller to refuse on examining it (regular files read
// the same either way). Empty, with `error` set to the system's error code,
// when a component is missing, a link, or cannot be opened.
UniqueFd OpenFileBelow(const UniqueFd& root, const std::string& relative, int& error);

// Opens the files of a tree one after another, each as OpenFileBelow opens
// it, keeping the folders on the way to the last one open: files taken in
// their sorted order share most of their folders, which are then opened once
// instead of once per file (under Wine each open is a round trip to its
// server). A folder kept is the one that was opened, never a link put in its
// place since (Windows refuses to rename or remove a folder while it is held).
class FilesBelow {
  public:
    // `root` must stay open while this object is used.
    explicit FilesBelow(const UniqueFd& root) : root_(root) {}

    // The file at `relative` below the root, as OpenFileBelow.
    UniqueFd Open(const std::string& relative, int& error);

  private:
    const UniqueFd& root_;
    // The folders opened for the last file, from the root down, by name.
    std::vector<std::string> names_;
    std::vector<UniqueFd> folders_;
};

// Whether an output path would land inside a folder, asked with links
// resolved, so that neither "tree/../tree/x" nor a link into the folder hides it.

// True when `path` (which need not exist yet) resolves to `folder` or to
// something below it. False when `folder` or `path` cannot be resolved: the
// caller's own use of them reports that. Never throws.
bool PathLiesInside(const std::string& path, const std::string& folder);

// Folders that `try` makes for one run and removes again: a fresh private
// folder, folder paths made as needed, and whole trees removed.

// A new folder `parent`/`stem`XXXXXX (mkdtemp: a fresh name, mode 0700) and
// its absolute path. Throws PackError naming `parent` when it cannot be made.
std::string CreateFreshFolder(const std::string& parent, const std::string& stem);

// `path` and every missing folder above it (mode 0777 minus umask). Throws
// PackError naming the first folder that cannot be made.
void MakeFolders(const std::string& path);

// Removes `path` and everything below it (a file or link named as `path`
// alone too), links themselves and never what they point to. Best effort:
// never throws, and reports nothing.
void RemoveFolderTree(const std::string& path) noexcept;

// Whether `path` is a folder holding nothing (false also when it is missing).
bool IsEmptyFolder(const std::string& path);

// The absolute form of an existing `path`, links resolved. Throws PackError
// naming it when it does not exist.
std::string AbsolutePath(const std::string& path);

#ifndef _WIN32
// What a folder tree holds, name by name, cheaply enough to take before and
// after a program runs and see what it wrote: `try` looks at the parts of
// its Wine prefix and home that a set-up program must leave alone.

// Relative path ("a/b.txt") to what it is: a folder, or kind, size,
// modification time and, for a link, its target. Two fingerprints of one
// path differ when the entry was replaced, resized, written or relinked.
using TreeFingerprint = std::map<std::string, std::string>;

// Every entry below `root` (itself left out), links not followed. A missing
// `root` is an empty tree; what cannot be read counts as not there. Never
// throws PackError.
TreeFingerprint FingerprintTree(const std::string& root);

// Only the entries directly in `root`, described as FingerprintTree does:
// for a folder `try` may not walk whole (a user's own).
TreeFingerprint FingerprintFolder(const std::string& root);

// The drive letters `try` gives its Wine prefix for one run: links in the
// prefix's dosdevices folder, made and removed again.

// `path` made a symbolic link to `target`, replacing a link or file that was
// there (never a folder). Throws PackError naming `path` when it cannot.
void ReplaceWithLink(const std::string& path, const std::string& target);

// Removes the link or file `path`; a missing one is fine. Throws PackError
// naming `path` when something else is there or it cannot be removed.
void RemoveLink(const std::string& path);
#endif  // _WIN32

// The folder holding the running packer, so that files installed beside it
// (the stub) are found wherever the installation was unpacked.

// The absolute folder of this program's executable, links resolved, without a
// trailing slash (so empty for a program in the root). nullopt when the system
// does not say. Never throws PackError.
std::optional<std::string> ProgramFolder();

}  // namespace korvanthelm::pack
