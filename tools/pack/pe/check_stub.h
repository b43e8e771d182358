// Whether a file is a bootstrapper stub this packer can fill, asked before
// any long work so that a wrong stub is refused at once.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace korvanthelm::pack {

// Throws PackError, one line naming the problem, when `stub` is not a stub of
// this packer's `version` (the same refusals AssembleExecutable makes of its
// stub). Returns normally for a stub AssembleExecutable accepts.
void CheckStub(std::span<const std::byte> stub, std::string_view version);

}  // namespace korvanthelm::pack
