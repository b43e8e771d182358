// A hint to bring the cache line holding `p` in before it is read: the
// encoder's tables are far larger than the caches, and a position's reads of
// them are known one or more positions ahead. Only a hint: it changes no
// result, and a compiler without one makes it a no-op.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace korvanthelm::lzms {

inline void Prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

}  // namespace korvanthelm::lzms
