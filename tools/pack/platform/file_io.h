// Whole-file reads and all-or-nothing writes for the packer's inputs and outputs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvanthelm::pack {

// The whole content of the file at `path`. Throws PackError naming it.
std::vector<std::byte> ReadWholeFile(const std::string& path);

// New content for `path`, written to a temporary file in the same folder
// and flushed to disk, that replaces `path` in one rename on Commit(), so a
// reader sees either the old file or the complete new one. Several outputs
// are all staged before any is committed, so a failed write changes none.
// Without Commit() the temporary file is removed again. Throws PackError
// naming the problem. The new file gets `mode` minus umask.
class StagedFile {
  public:
    StagedFile(std::string path, std::span<const std::byte> bytes, mode_t mode = 0666);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    void Commit();

  private:
    std::string path_;
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace korvanthelm::pack
