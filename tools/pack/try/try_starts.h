// `try`'s three starts of a built KORVANTHELM.exe, in the order they run on
// one fresh account, each with what is made ready before it and what is
// judged after it. The starts, the judge and the report all read this table.
#pragma once

#include <string_view>

namespace korvanthelm::pack {

struct TryStart {
    std::string_view name;  // as the report names it
    // Judged after: the argument the set-up program must get when this start
    // unpacks; empty: the start must hand over to the installed launcher.
    std::string_view run_mode;
    // Prepared before: an update request below APPDATA, which the set-up
    // program run with --update must remove again (judged after).
    bool requests_update = false;
    // Read after: the set-up program's side of the contract (what it left
    // decides whether a later start can hand over).
    bool reads_contract = false;
};

inline constexpr TryStart kTryStarts[] = {
    {"first start", "--setup", /*requests_update=*/false, /*reads_contract=*/true},
    {"second start", "", /*requests_update=*/false, /*reads_contract=*/false},
    {"update start", "--update", /*requests_update=*/true, /*reads_contract=*/false},
};

}  // namespace korvanthelm::pack
