// The LZMS x86 filter, both sides. Before compressing, the encoder turns the
// relative 32-bit operands of a few x86/x64 instructions (CALL rel32,
// CALL [rip+disp32], LOCK ADD [rip+disp32], LEA/MOV reg,[rip+disp32]) into
// block-relative absolute ones wherever code seems to be, because the same
// target then repeats as the same bytes and compresses better. Every decoded
// block goes through UndoX86Translation once, whatever it holds: the filter
// finds code regions by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::lzms {

// Where each low-16-bit target was last referenced; 256 KiB, owned by the
// caller so one allocation serves every block.
struct X86FilterState {
    std::int32_t last_target_use[65536];
};

// Restores the relative operands in the finished block `data` (positions
// are block-relative; data.size() <= 1 GiB, the format's largest block).
// Returns how many operands it changed. Never reads or writes outside `data`.
std::size_t UndoX86Translation(std::span<std::byte> data, X86FilterState& state);

// The encoder's side: makes the operands absolute where UndoX86Translation
// will restore them, so that UndoX86Translation(ApplyX86Translation(x)) == x
// for every x. Returns how many operands it changed.
std::size_t ApplyX86Translation(std::span<std::byte> data, X86FilterState& state);

}  // namespace korvanthelm::lzms
