// Whole-file reads and all-or-nothing writes for the packer's inputs and outputs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/platform/open_regular_file.h"

namespace korvanthelm::pack {

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

}  // namespace korvanthelm::pack
