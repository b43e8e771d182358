#include "codec/lzms/x86_filter.h"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KORVANTHELM_LZMS_SSE2 1
#endif

#include "format/little_endian.h"

namespace korvanthelm::lzms {
namespace {

// How many bytes at the end of a block are never looked at: the encoder stops
// there so that an instruction's operand always lies inside the block.
constexpr std::size_t kTailBytes = 16;

// A translated operand is undone only this close after a position where two
// instructions referenced the same low-16-bit target, and such a pair only
// counts when the two references are at most kTargetWindow bytes apart.
constexpr std::int64_t kMaxCallDistance = 511;
constexpr std::int64_t kMaxRipDistance = 1023;
constexpr std::int64_t kTargetWindow = 65535;

// Bytes that can start a filtered instruction; everything else is skipped
// in the scan loop's fast path.
constexpr std::array<bool, 256> kOpcodeStart = [] {
    std::array<bool, 256> starts{};
    for (const int b : {0xE8, 0xE9, 0xFF, 0xF0, 0x48, 0x4C})
        starts[static_cast<std::size_t>(b)] = true;
    return starts;
}();

// The first position in [i, limit) that holds a possible opcode, or limit.
// Outside code, such bytes are a few in a hundred, so the scan looks at 16
// bytes at a time where it can (SSE2 is part of every x86-64 CPU).
// Reads bytes[i .. limit + 15), all inside the block.
std::size_t NextCandidate(const std::uint8_t* bytes, std::size_t i, std::size_t limit) {
#ifdef KORVANTHELM_LZMS_SSE2
    const __m128i e8 = _mm_set1_epi8(static_cast<char>(0xE8));
    const __m128i e9 = _mm_set1_epi8(static_cast<char>(0xE9));
    const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i f0 = _mm_set1_epi8(static_cast<char>(0xF0));
    const __m128i rex_w = _mm_set1_epi8(0x48);
    const __m128i rex_wr = _mm_set1_epi8(0x4C);
    for (; i + 16 <= limit; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, e8), _mm_cmpeq_epi8(v, e9)),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, ff), _mm_cmpeq_epi8(v, f0))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, rex_w), _mm_cmpeq_epi8(v, rex_wr)));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) {
            return i + static_cast<std::size_t>(std::countr_zero(mask));
        }
    }
#endif
    while (i < limit && !kOpcodeStart[bytes[i]]) {
        ++i;
    }
    return i;
}

std::uint32_t LoadLe32(const std::uint8_t* p) {
    return format::LoadLittleEndian32(reinterpret_cast<const std::byte*>(p));
}

void StoreLe32(std::uint8_t* p, std::uint32_t v) {
    format::StoreLittleEndian(reinterpret_cast<std::byte*>(p), v, 4);
}

// Both directions scan alike and see the same bytes at every opcode
// position: an operand is changed only behind the scan, which continues
// after it. They differ in which way an operand moves, and in where the
// target is read: always from the relative form.
template <bool kTranslate>
std::size_t ScanX86(std::span<std::byte> data, X86FilterState& state) {
    const std::size_t n = data.size();
    if (n <= kTailBytes + 1)
        return 0;
    std::size_t restored = 0;
    std::fill(std::begin(state.last_target_use), std::end(state.last_target_use),
              -static_cast<std::int32_t>(kTargetWindow + 1));
    std::uint8_t* const bytes = reinterpret_cast<std::uint8_t*>(data.data());
    const std::size_t limit = n - kTailBytes;
    std::int64_t last_x86 = -(kMaxRipDistance + 1);

    // Byte 0 is never an opcode: the encoder starts at 1 as well.
    std::size_t i = 1;
    while ((i = NextCandidate(bytes, i, limit)) < limit) {
        std::size_t opcode_bytes;
        std::int64_t max_distance;
        const std::uint8_t b0 = bytes[i];
        const std::uint8_t b1 = bytes[i + 1];
        const std::uint8_t b2 = bytes[i + 2];
        if (b0 == 0xE8) {  // CALL rel32
            opcode_bytes = 1;
            max_distance = kMaxCallDistance;
        } else if (b0 == 0xE9) {  // JMP rel32: left as it is, but its operand is skipped
            i += 5;
            continue;
        } else if (b0 == 0xFF && b1 == 0x15) {  // CALL [rip+disp32]
            opcode_bytes = 2;
            max_distance = kMaxRipDistance;
        } else if (b0 == 0xF0 && b1 == 0x83 && b2 == 0x05) {  // LOCK ADD [rip+disp32], imm8
            opcode_bytes = 3;
            max_distance = kMaxRipDistance;
        } else if ((b0 == 0x48 || b0 == 0x4C) && (b2 & 0x07) == 0x05 &&
                   (b1 == 0x8D || (b1 == 0x8B && b0 == 0x48 && (b2 & 0xF0) == 0))) {
            // REX.W LEA / MOV reg, [rip+disp32]
            opcode_bytes = 3;
            max_distance = kMaxRipDistance;
        } else {
            ++i;
            continue;
        }

        std::uint8_t* const operand = bytes + i + opcode_bytes;  // ends before `limit + 7 <= n`
        const auto pos = static_cast<std::int64_t>(i);
        const bool translated = pos - last_x86 <= max_distance;
        if (!kTranslate && translated) {
            StoreLe32(operand, LoadLe32(operand) - static_cast<std::uint32_t>(i));
            ++restored;
        }
        // The target is judged from the relative operand, as the encoder saw it.
        const std::size_t target =
            (i + (std::size_t{operand[0]} | std::size_t{operand[1]} << 8)) & 0xFFFF;
        if (kTranslate && translated) {
            StoreLe32(operand, LoadLe32(operand) + static_cast<std::uint32_t>(i));
            ++restored;
        }
        const std::int64_t operand_end = pos + static_cast<std::int64_t>(opcode_bytes) + 3;
        if (operand_end - state.last_target_use[target] <= kTargetWindow)
            last_x86 = operand_end;
        state.last_target_use[target] = static_cast<std::int32_t>(operand_end);
        i += opcode_bytes + 4;
    }
    return restored;
}

}  // namespace

std::size_t UndoX86Translation(std::span<std::byte> data, X86FilterState& state) {
    return ScanX86<false>(data, state);
}

std::size_t ApplyX86Translation(std::span<std::byte> data, X86FilterState& state) {
    return ScanX86<true>(data, state);
}

}  // namespace korvanthelm::lzms
