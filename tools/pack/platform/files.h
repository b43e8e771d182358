// Files the packer reads and writes: inputs opened without blocking and read
// whole or in pieces, outputs staged beside their place and renamed in, and
// the questions asked of paths before any work. POSIX in files_posix.cpp,
// Windows in files_windows.cpp, the parts that are the same on both over
// them in files.cpp.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/compression_container.h"
#include "format/package_table.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/system_error_text.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// Opens a file the packer reads as input (a stub, a package, an exe, a
// launcher file), refusing anything that could hang the run or make it read
// without end: a FIFO, a device, a folder, or a file larger than any input the
// format allows.

// The largest input file: an exe holding the largest package. That package is
// a 2 GiB table stored verbatim in chunks of the smallest size Windows accepts
// (each with its size field), behind the container header and the 16-byte
// envelope header; the stub with its sections and a signature gets 64 MiB
// (ours is under 1 MiB).
inline constexpr std::uint64_t kMaxPackageFileSize =
    16 + format::kContainerHeaderSize + format::kMaxPackageTableSize +
    format::kMaxPackageTableSize / format::kMinMultiChunkSize * format::kChunkSizeFieldBytes;
inline constexpr std::uint64_t kMaxInputFileSize = kMaxPackageFileSize + (std::uint64_t{64} << 20);
static_assert(kMaxInputFileSize < (std::uint64_t{3} << 30), "a 3 GiB file must be refused");

struct OpenedFile {
    UniqueFd fd;
    std::uint64_t size;  // when it was opened
};

// `path` opened for reading, close-on-exec. The open never blocks (a FIFO
// with no writer opens at once and is then refused). Throws PackError naming
// the path when it cannot be opened or examined, is not a regular file, or
// holds more than `max_size` bytes; nothing is read before these checks.
OpenedFile OpenRegularFile(const std::string& path, std::uint64_t max_size);

// The refusal of a file found to hold more than `max_size` bytes, also when
// it grew past that while being read.
[[noreturn]] void ThrowFileTooLarge(const std::string& path, std::uint64_t max_size);

// One read from an open file, the system's way, for the loops that read
// inputs (ReadWholeFile, ReadExactly), which are the same on every system.

// Up to out.size() bytes from `file` at its current position: the count read,
// 0 at the end of the file. A read a signal interrupts is made again. nullopt,
// with `error` set to the system's error code, when the read fails.
std::optional<std::size_t> ReadSome(const UniqueFd& file, std::span<std::byte> out, int& error);

// ReadSome of an input the packer names `path`: throws PackError
// "cannot read "PATH": REASON" when the read fails.
inline std::size_t ReadSomeOf(const UniqueFd& file, std::span<std::byte> out,
                              const std::string& path) {
    int error = 0;
    const std::optional<std::size_t> got = ReadSome(file, out, error);
    if (!got) {
        throw PackError("cannot read \"" + path + "\": " + SystemErrorText(error));
    }
    return *got;
}

// Reads a file that must hold exactly a known number of bytes.
enum class ExactRead {
    kRead,     // `out` is filled and the file ends there
    kShorter,  // the file ended before `out` was filled
    kLonger,   // `out` is filled but the file goes on (or reading on failed)
    kFailed,   // a read failed; `error` holds the system's error code
};

// Fills `out` from `file`, then reads one byte more to see that the file ends
// there: a file being written to while it is packed must not go unnoticed.
ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error);

// Whole-file reads and all-or-nothing writes for the packer's inputs and outputs.

// The whole content of the regular file at `path`, which must hold at most
// `max_size` bytes, also should it grow while being read. The open never
// blocks, and a FIFO, a device or a folder is refused before anything is
// read (OpenRegularFile). Throws PackError naming it.
std::vector<std::byte> ReadWholeFile(const std::string& path,
                                     std::uint64_t max_size = kMaxInputFileSize);

// Throws PackError when `path` exists and is anything but a regular file (a
// device, a FIFO, a folder, a symbolic link): renaming over it would replace
// that node with our file, /dev/full included.
void RefuseNonRegularOutput(const std::string& path);

// New content for `path`, written to a temporary file in the same folder
// and flushed to disk, that replaces `path` in one rename on Commit(), so a
// reader sees either the old file or the complete new one. Several outputs
// are all staged before any is committed, so a failed write changes none.
// The temporary file is on the process's temporary file list from the moment
// it exists: without Commit() it is removed, whether the constructor fails
// after creating it, the object is destroyed, the process exits, or SIGINT,
// SIGTERM or SIGHUP arrives. Throws PackError naming the problem, including
// RefuseNonRegularOutput's refusal (checked again just before the rename).
// The new file gets `mode` minus umask.
class StagedFile {
  public:
    StagedFile(std::string path, std::span<const std::byte> bytes, mode_t mode = 0666);
    ~StagedFile() = default;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    void Commit();

  private:
    // The registered temporary file: unlinked and unregistered on
    // destruction unless Release() was called after the rename.
    class Temporary {
      public:
        Temporary() = default;
        ~Temporary();
        Temporary(const Temporary&) = delete;
        Temporary& operator=(const Temporary&) = delete;

        void Adopt(std::string path);
        void Release();
        const std::string& path() const { return path_; }

      private:
        std::string path_;
    };

    std::string path_;
    Temporary temporary_;
};

// The first bytes of a small file that another program wrote, read the way
// the bootstrapper reads its text files: what does not fit is ignored.

// At most `limit` bytes from the start of the regular file at `path`, as
// text; nullopt when it is missing, not a regular file or cannot be read.
// Never throws PackError.
std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit);

// Removes a file the packer itself named (a signer's output before the
// signer runs), so that a leftover is never taken for a new result.

// Removes the file at `path` when there is one; a missing file is no
// failure, and other failures show later, when the path is used. Never throws.
void RemoveFileIfPresent(const std::string& path);

// Whether a path names anything at all, for inputs that may be given either
// relative to the working folder or inside a tree.

// True when `path` names an existing file, folder or other object (a symbolic
// link counts by its target). Never throws.
bool PathExists(const std::string& path);

// Whether an output of a command would overwrite one of its inputs or
// another of its outputs: `pack -o X --digests-cmake X` would leave X with
// the digests only, `build -o S --stub S` would destroy the stub. Asked
// before any work, from the paths alone.

// A path and the option that named it ("-o", "--stub", ...), for the refusal.
struct NamedPath {
    std::string option;
    std::string path;
};

// Returns when every output (empty paths skipped) names a file of its own,
// neither an input that exists (the others cannot be lost) nor another
// output. Else throws PackError
// "refused: the output "X" is also the --OPTION file" ("the --OPTION output"
// for an output other than -o), naming the first clash. Touches nothing.
void RefuseOutputsThatShareAFile(std::span<const NamedPath> outputs,
                                 std::span<const NamedPath> inputs);

// Whether two paths name one file, asked before any work so that an output
// never overwrites an input or another output (RefuseOutputsThatShareAFile above).

// True when `a` and `b` name one file: the same device and inode (on Windows,
// volume and file index) when both exist, so that a link or "x/../x" does not
// hide it; else the same absolute path once "." and ".." and the links of its
// existing folders are resolved, however each is spelled (relative or not;
// on Windows, compared without regard to case).
// Never throws.
bool PathsNameOneFile(const std::string& a, const std::string& b);

// Whether an output can be written where it is asked for, known in a
// millisecond: asked before the long compression, so that a mistyped folder
// fails at once instead of after a minute of work.

// Returns when `output` is not a folder, is not an existing node other than
// a regular file, and a new file can be created in its folder (tried with an
// empty private file there, removed again at once). Else throws PackError
// "cannot write "OUTPUT": " and the cause: its folder does not exist, is not
// a folder, or refused the file (the system's reason); or
// RefuseNonRegularOutput's refusal for a link, FIFO or device there. Leaves
// nothing behind either way.
void RequireWritableOutputFolder(const std::string& output);

// Whether the disk under `folder` has room for a new file of `size` bytes now,
// asked after a program outside the packer (a signer) failed to write its copy
// there, so that a full disk is named instead of that program's confused
// words. The room is reserved in a private temporary file (space allocated,
// nothing written) that is removed again at once. false: it certainly has
// not, and `error` holds the system's code (no space, quota exceeded, file
// too large). true when the room was found, and also when the question could
// not be asked (the file system cannot reserve space, the file cannot be
// made): the caller's own reason then stands. Never throws but std::bad_alloc.
bool FolderHasRoomFor(const std::string& folder, std::uint64_t size, int& error);

}  // namespace korvanthelm::pack
