// Block helpers shared by the text passes (C++ only, not installed).
//
// Every pass spends most of its time on runs of bytes it copies unchanged.
// A byte class (one struct per pass) says which bytes end such a run; the
// helpers find or copy a run 16, 32 or 64 bytes at a time and give the same
// result as a byte loop over the class's is_mark.
//
// Four paths give identical bytes: a portable one for every CPU, SSE2 (part
// of every x86-64), AVX2, and AVX-512 with the byte-wise permute and
// compress instructions (VBMI and VBMI2); the best one the processor has is
// chosen at run time, so one build runs on any x86-64. A pass asks
// active_path() once per call and hands the answer to every helper. A class
// without 64-byte tests runs its AVX2 ones on the AVX-512 path.
#ifndef RELAY_DETAIL_BYTE_SCAN_H
#define RELAY_DETAIL_BYTE_SCAN_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__SSE2__)
#define TWR_SCAN_X86 1
#include <immintrin.h>
#define TWR_AVX2 __attribute__((target("avx2")))
#define TWR_AVX512 __attribute__((target("avx2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))
#else
#define TWR_SCAN_X86 0
#endif

namespace twr_scan {

enum class path : int { portable = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

// The fastest path this processor has, unless a test chose another.
path active_path() noexcept;

// Test hook, not part of the library's interface: makes every later call
// take `p`, or the best path the processor has when it lacks `p`; returns
// the path that was active before.
path force_path(path p) noexcept;

// Index of the first marked byte of a non-zero mask.
inline size_t first_marked(uint64_t mask) noexcept { return static_cast<size_t>(std::countr_zero(mask)); }

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

// The portable path: eight bytes at a time for a class that can test a word
// at once (whatever the byte order), else one byte at a time.
template <typename Class>
inline size_t plain_run_portable(const unsigned char *p, size_t len) noexcept {
    size_t k = 0;
    if constexpr (Class::kWordTest) {
        for (; len - k >= 8; k += 8) {
            uint64_t w;
            std::memcpy(&w, p + k, 8);
            if (Class::word_has_mark(w)) break;
        }
    }
    while (k < len && !Class::is_mark(p[k])) ++k;
    return k;
}

template <typename Class>
inline size_t copy_run_portable(unsigned char *dst, const unsigned char *src, size_t limit) noexcept {
    size_t k = 0;
    if constexpr (Class::kWordTest) {
        for (; limit - k >= 8; k += 8) {
            uint64_t w;
            std::memcpy(&w, src + k, 8);
            if (Class::word_has_mark(w)) break;
            std::memcpy(dst + k, &w, 8);
        }
    }
    for (; k < limit && !Class::is_mark(src[k]); ++k) dst[k] = src[k];
    return k;
}

#if TWR_SCAN_X86

inline __m128i load16(const unsigned char *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store16(unsigned char *p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
inline __m128i eq16(__m128i v, unsigned char c) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); }
inline unsigned mask16(__m128i v) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

TWR_AVX2 inline __m256i load32(const unsigned char *p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
TWR_AVX2 inline void store32(unsigned char *p, __m256i v) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}
TWR_AVX2 inline __m256i eq32(__m256i v, unsigned char c) noexcept {
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(c)));
}
TWR_AVX2 inline uint64_t mask32(__m256i v) noexcept { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }

// Copies n < 32 bytes, all loads before the stores (see copy_short).
inline void copy_below32(unsigned char *dst, const unsigned char *src, size_t n) noexcept {
    if (n >= 16) {
        const __m128i head = load16(src), tail = load16(src + n - 16);
        store16(dst, head);
        store16(dst + n - 16, tail);
    } else {
        copy_short(dst, src, n);
    }
}

template <typename Class>
inline size_t plain_run_sse2(const unsigned char *p, size_t len) noexcept {
    size_t k = 0;
    for (; len - k >= 16; k += 16) {
        const unsigned m = Class::sse2(load16(p + k));
        if (m != 0) return k + first_marked(m);
    }
    return k + plain_run_portable<Class>(p + k, len - k);
}

template <typename Class>
inline size_t copy_run_sse2(unsigned char *dst, const unsigned char *src, size_t limit) noexcept {
    size_t k = 0;
    for (; limit - k >= 16; k += 16) {
        const __m128i block = load16(src + k);
        const unsigned m = Class::sse2(block);
        if (m != 0) {
            const size_t p = first_marked(m);
            copy_short(dst + k, src + k, p);
            return k + p;
        }
        store16(dst + k, block);
    }
    return k + copy_run_portable<Class>(dst + k, src + k, limit - k);
}

// 64 bytes a round: a class gives the lanes of its bytes, and the two
// halves are tested together; the mask is taken only in the round that
// ends the run.
TWR_AVX2 inline __m256i top_bits() noexcept { return _mm256_set1_epi8(static_cast<char>(0x80)); }

template <typename Class>
TWR_AVX2 uint64_t marks64(__m256i lo, __m256i hi) noexcept {
    return mask32(Class::avx2(lo)) | mask32(Class::avx2(hi)) << 32;
}

template <typename Class>
TWR_AVX2 size_t plain_run_avx2(const unsigned char *p, size_t len) noexcept {
    size_t k = 0;
    for (; len - k >= 64; k += 64) {
        const __m256i lo = load32(p + k), hi = load32(p + k + 32);
        const __m256i any = _mm256_or_si256(Class::avx2(lo), Class::avx2(hi));
        if (!_mm256_testz_si256(any, top_bits())) return k + first_marked(marks64<Class>(lo, hi));
    }
    return k + plain_run_sse2<Class>(p + k, len - k);
}

template <typename Class>
TWR_AVX2 size_t copy_run_avx2(unsigned char *dst, const unsigned char *src, size_t limit) noexcept {
    size_t k = 0;
    for (; limit - k >= 64; k += 64) {
        const __m256i lo = load32(src + k), hi = load32(src + k + 32);
        const __m256i any = _mm256_or_si256(Class::avx2(lo), Class::avx2(hi));
        if (!_mm256_testz_si256(any, top_bits())) {
            const size_t p = first_marked(marks64<Class>(lo, hi));
            if (p >= 32) {
                store32(dst + k, lo);
                copy_below32(dst + k + 32, src + k + 32, p - 32);
            } else {
                copy_below32(dst + k, src + k, p);
            }
            return k + p;
        }
        store32(dst + k, lo);
        store32(dst + k + 32, hi);
    }
    return k + copy_run_sse2<Class>(dst + k, src + k, limit - k);
}

// A class with 64-byte tests gives, from avx512(), the mask of its bytes.
template <typename Class>
concept has_avx512 = requires(__m512i v) { Class::avx512(v); };

TWR_AVX512 inline __m512i load64(const unsigned char *p) noexcept { return _mm512_loadu_si512(p); }

// 128 bytes a round, then the AVX2 helper.
template <typename Class>
TWR_AVX512 size_t plain_run_avx512(const unsigned char *p, size_t len) noexcept {
    size_t k = 0;
    for (; len - k >= 128; k += 128) {
        const uint64_t lo = Class::avx512(load64(p + k)), hi = Class::avx512(load64(p + k + 64));
        if ((lo | hi) != 0) return k + (lo != 0 ? first_marked(lo) : 64 + first_marked(hi));
    }
    return k + plain_run_avx2<Class>(p + k, len - k);
}

// 64 bytes a round; the rest goes to the AVX2 helper.
template <typename Class>
TWR_AVX512 size_t copy_run_avx512(unsigned char *dst, const unsigned char *src, size_t limit) noexcept {
    size_t k = 0;
    for (; limit - k >= 64; k += 64) {
        const __m512i block = load64(src + k);
        const uint64_t m = Class::avx512(block);
        if (m != 0) {
            const size_t p = first_marked(m);
            _mm512_mask_storeu_epi8(dst + k, (uint64_t{1} << p) - 1, block);
            return k + p;
        }
        _mm512_storeu_si512(dst + k, block);
    }
    return k + copy_run_avx2<Class>(dst + k, src + k, limit - k);
}

#endif

// Length of the run at p (at most len bytes) holding no byte of Class.
template <typename Class>
inline size_t plain_run(path via, const unsigned char *p, size_t len) noexcept {
#if TWR_SCAN_X86
    if constexpr (has_avx512<Class>) {
        if (via == path::avx512) return plain_run_avx512<Class>(p, len);
    }
    if (via >= path::avx2) return plain_run_avx2<Class>(p, len);
    if (via == path::sse2) return plain_run_sse2<Class>(p, len);
#endif
    (void)via;
    return plain_run_portable<Class>(p, len);
}

// Copies the run at src holding no byte of Class to dst, at most `limit`
// bytes, and returns its length. Stores only the run itself, and is right
// in place when dst does not lie after src.
template <typename Class>
inline size_t copy_run(path via, unsigned char *dst, const unsigned char *src, size_t limit) noexcept {
#if TWR_SCAN_X86
    if constexpr (has_avx512<Class>) {
        if (via == path::avx512) return copy_run_avx512<Class>(dst, src, limit);
    }
    if (via >= path::avx2) return copy_run_avx2<Class>(dst, src, limit);
    if (via == path::sse2) return copy_run_sse2<Class>(dst, src, limit);
#endif
    (void)via;
    return copy_run_portable<Class>(dst, src, limit);
}

// Bytes from 0x80 up: what is not ASCII. A class's avx2() gives a vector
// whose lanes have their top bit set for the class's bytes.
struct high_bytes {
    static constexpr bool kWordTest = true;
    static constexpr bool is_mark(unsigned char c) noexcept { return c >= 0x80; }
    static constexpr bool word_has_mark(uint64_t w) noexcept { return (w & 0x8080808080808080u) != 0; }
#if TWR_SCAN_X86
    static unsigned sse2(__m128i v) noexcept { return mask16(v); }
    TWR_AVX2 static __m256i avx2(__m256i v) noexcept { return v; }  // the top bit is what counts
    TWR_AVX512 static uint64_t avx512(__m512i v) noexcept { return _mm512_movepi8_mask(v); }
#endif
};

}  // namespace twr_scan

#endif
