// Block helpers shared by the text passes (C++ only, not installed).
//
// Every pass spends most of its time on runs of bytes it copies unchanged.
// These helpers look at 16 bytes at once and give a bit per byte (bit k for
// byte k) marking the bytes a pass must look at on their own, so plain runs
// move in blocks. SSE2 is part of x86-64; elsewhere the same operations
// fall back to byte loops with identical results.
#ifndef RELAY_DETAIL_BYTE_SCAN_H
#define RELAY_DETAIL_BYTE_SCAN_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twr_scan {

constexpr size_t kBlock = 16;

#if defined(__SSE2__)

// 16 bytes, or 16 lanes of 0x00/0xFF after a comparison.
struct bytes16 {
    __m128i v;
};
inline bytes16 load16(const unsigned char *p) noexcept {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))};
}
inline void store16(unsigned char *p, bytes16 b) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), b.v);
}
inline bytes16 eq(bytes16 b, unsigned char c) noexcept {
    return {_mm_cmpeq_epi8(b.v, _mm_set1_epi8(static_cast<char>(c)))};
}
// Lanes whose byte is below c as a signed byte: with c in 0x01..0x7F that is
// every byte below c together with every byte from 0x80 up.
inline bytes16 below_signed(bytes16 b, unsigned char c) noexcept {
    return {_mm_cmplt_epi8(b.v, _mm_set1_epi8(static_cast<char>(c)))};
}
inline bytes16 operator|(bytes16 a, bytes16 b) noexcept { return {_mm_or_si128(a.v, b.v)}; }
// Lanes of a that are not set in b.
inline bytes16 and_not(bytes16 a, bytes16 b) noexcept { return {_mm_andnot_si128(b.v, a.v)}; }
// One bit per lane from the lane's top bit: for a raw block, its non-ASCII bytes.
inline unsigned lane_mask(bytes16 b) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(b.v)); }

#else

struct bytes16 {
    unsigned char b[kBlock];
};
inline bytes16 load16(const unsigned char *p) noexcept {
    bytes16 r;
    std::memcpy(r.b, p, kBlock);
    return r;
}
inline void store16(unsigned char *p, bytes16 b) noexcept { std::memcpy(p, b.b, kBlock); }
template <typename Pred>
inline bytes16 lanes(bytes16 b, Pred pred) noexcept {
    bytes16 r;
    for (size_t k = 0; k < kBlock; ++k) r.b[k] = pred(b.b[k]) ? 0xFF : 0x00;
    return r;
}
inline bytes16 eq(bytes16 b, unsigned char c) noexcept {
    return lanes(b, [c](unsigned char x) { return x == c; });
}
inline bytes16 below_signed(bytes16 b, unsigned char c) noexcept {
    return lanes(b, [c](unsigned char x) { return static_cast<signed char>(x) < static_cast<signed char>(c); });
}
inline bytes16 operator|(bytes16 a, bytes16 b) noexcept {
    for (size_t k = 0; k < kBlock; ++k) a.b[k] = static_cast<unsigned char>(a.b[k] | b.b[k]);
    return a;
}
inline bytes16 and_not(bytes16 a, bytes16 b) noexcept {
    for (size_t k = 0; k < kBlock; ++k) a.b[k] = static_cast<unsigned char>(a.b[k] & ~b.b[k]);
    return a;
}
inline unsigned lane_mask(bytes16 b) noexcept {
    unsigned m = 0;
    for (size_t k = 0; k < kBlock; ++k) m |= static_cast<unsigned>(b.b[k] >> 7) << k;
    return m;
}

#endif

// Index of the first marked byte of a non-zero mask.
inline size_t first_marked(unsigned mask) noexcept { return static_cast<size_t>(std::countr_zero(mask)); }

// Copies n < 16 bytes. Every load happens before the first store, so the
// copy is also right in place when dst does not lie after src.
inline void copy_short(unsigned char *dst, const unsigned char *src, size_t n) noexcept {
    if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, src, 8);
        std::memcpy(&tail, src + n - 8, 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, src, 4);
        std::memcpy(&tail, src + n - 4, 4);
        std::memcpy(dst, &head, 4);
        std::memcpy(dst + n - 4, &tail, 4);
    } else {
        for (size_t k = 0; k < n; ++k) dst[k] = src[k];
    }
}

// Length of the run at p (at most len bytes) in which Marks finds nothing.
// Marks maps a block to its mask of bytes that end a run; is_mark must
// agree with it byte for byte, for the tail shorter than a block.
template <typename Marks, typename IsMark>
inline size_t plain_run(const unsigned char *p, size_t len, Marks marks, IsMark is_mark) noexcept {
    size_t k = 0;
    for (; len - k >= kBlock; k += kBlock) {
        const unsigned m = marks(load16(p + k));
        if (m != 0) return k + first_marked(m);
    }
    while (k < len && !is_mark(p[k])) ++k;
    return k;
}

// Copies the run of bytes at src in which Marks finds nothing to dst, at
// most `limit` bytes, and returns its length. Stores only the run itself.
template <typename Marks, typename IsMark>
inline size_t copy_run(unsigned char *dst, const unsigned char *src, size_t limit, Marks marks,
                       IsMark is_mark) noexcept {
    size_t k = 0;
    for (; limit - k >= kBlock; k += kBlock) {
        const bytes16 block = load16(src + k);
        const unsigned m = marks(block);
        if (m != 0) {
            const size_t p = first_marked(m);
            copy_short(dst + k, src + k, p);
            return k + p;
        }
        store16(dst + k, block);
    }
    for (; k < limit && !is_mark(src[k]); ++k) dst[k] = src[k];
    return k;
}

}  // namespace twr_scan

#endif
