// The work directory: a private, freshly made folder under the temporary base
// folder that the package is unpacked into, and its removal.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

#include "platform/failure_texts.h"

namespace korvanthelm {

// Fills the 16 bytes of a new name; false when the generator failed.
using RandomSource = std::function<bool(std::span<std::byte, 16>)>;

// The system's preferred generator (BCryptGenRandom from System32's bcrypt.dll;
// a missing DLL or function counts as a failed generator).
bool SystemRandom(std::span<std::byte, 16> bytes) noexcept;

// Creates base + "\korvanthelm-setup-" + 32 lowercase hex digits and returns
// that path. A name that exists already is never entered or reused: another
// is drawn, up to 8 attempts. Throws kWorkDirectoryFailed when the generator
// fails, creation fails for any other reason than an existing name, or all 8
// names existed; nothing has been created then.
std::wstring CreateWorkDirectory(const std::wstring& base,
                                 const RandomSource& random = SystemRandom);

// One best-effort removal pass over the directory at `path` and everything
// beneath it. Links and junctions are removed as entries, never entered.
// Entries that cannot be removed now (a file held open elsewhere) stay, with
// every directory above them; a later pass removes what has been released.
// Reports nothing and never throws.
void RemoveDirectoryTree(const std::wstring& path) noexcept;

}  // namespace korvanthelm
