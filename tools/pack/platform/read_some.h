// One read from an open file, the system's way, for the loops that read
// inputs (ReadWholeFile, ReadExactly), which are the same on every system.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/system_error_text.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

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

}  // namespace korvanthelm::pack
