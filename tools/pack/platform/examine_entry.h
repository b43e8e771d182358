// What kind of thing a folder entry or an open file is, and its size.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

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

}  // namespace korvanthelm::pack
