// A private temporary file beside an output, for work a program outside the
// packer does on a copy (the signers): the file exists, empty, from the
// moment the owner is made, and whatever is at its path is removed when the
// owner goes, on every path out of its scope, also while a PackError passes
// through. It is on the process's list of temporary files from the moment it
// exists, so SIGINT, SIGTERM or SIGHUP meanwhile removes it too.
#pragma once

#include <string>

namespace korvanthelm::pack {

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

}  // namespace korvanthelm::pack
