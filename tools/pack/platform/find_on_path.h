// Whether a program can be started by name, before a command depends on it.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

// The first executable regular file `name` in the folders of $PATH; nullopt
// when there is none. Never throws PackError.
std::optional<std::string> FindOnPath(const std::string& name);

}  // namespace korvanthelm::pack
