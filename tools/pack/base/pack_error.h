// The packer's one failure type: a single line for the user, naming what is
// wrong and where. main() prints it and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace korvanthelm::pack {

class PackError : public std::runtime_error {
  public:
    explicit PackError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace korvanthelm::pack
