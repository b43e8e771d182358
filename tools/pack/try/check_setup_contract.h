// The set-up program's side of the contract with the bootstrapper, looked at
// after it ran: what it must leave so that the next start hands over to the
// installed launcher instead of unpacking again (README, "What the set-up
// program must do"). Read the way the bootstrapper reads it, in its order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/pack/pe/digest_slot_text.h"
#include "tools/pack/try/try_world.h"

namespace korvanthelm::pack {

struct SetupContract {
    // The record's text as the bootstrapper takes it (byte order mark and
    // trailing CR, LF and spaces dropped); nullopt when missing or empty.
    std::optional<std::string> record;
    std::string launcher_folder;  // the record up to its last backslash
    // Digest texts of what is installed; nullopt when the file is missing or
    // unreadable.
    std::optional<std::string> exe_digest;
    std::optional<std::string> jar_digest;
    std::optional<std::string> build_mark;  // launcher.build as read
    // Each broken part in plain words, the bootstrapper's first reason to
    // unpack again first; empty: the next start should hand over.
    std::vector<std::string> problems;
};

// The record at APPDATA\KORVANTHELM\launcher.path, the build mark, the
// launcher exe and jar it names, against `digests` (the executable's).
// Never throws PackError: whatever cannot be read is a broken part.
SetupContract CheckSetupContract(const TryWorld& world, const ExecutableDigests& digests);

// The text of a small file as the bootstrapper reads it (format::ContractText:
// its first 8192 bytes, a UTF-8 byte order mark dropped, trailing CR, LF and
// spaces dropped).
std::string BootstrapperText(std::string bytes);

}  // namespace korvanthelm::pack
