// A new file under a name no other file has, made in one step: the Windows
// counterpart of mkostemps, for the packer's temporary files. Windows only.
#pragma once

#include <string>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// Creates `before` + six random letters or digits + `after` (CREATE_NEW, so
// an existing file is never opened), open for reading, writing and deleting,
// shared for reading only. On success `created` holds the name, as UTF-8 like `before`.
// Empty, with `error` set to the system's error code, when no file could be
// made (names already taken are tried again with other letters).
UniqueFd CreateNewFile(const std::string& before, const std::string& after, std::string& created,
                       int& error);

}  // namespace korvanthelm::pack
