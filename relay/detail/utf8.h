// The UTF-8 decoder of the text passes (C++ only, not installed). The Mac
// OS Roman and emoji passes read characters the same way, so that a byte
// sequence one pass keeps whole is the character the other pass converts.
//
// A lead byte alone gives a sequence's length. Decoding takes the low six
// bits of each following byte without looking at its top bits: a pass
// that must not swallow an ASCII byte checks continuations_follow first.
// Overlong forms, surrogates and values above U+10FFFF decode like any
// other sequence; a pass judges the value it gets.
#ifndef RELAY_DETAIL_UTF8_H
#define RELAY_DETAIL_UTF8_H

#include <cstddef>
#include <cstdint>

namespace twr_utf8 {

// The length of the sequence a byte starts: 1 for ASCII, 2 to 4 for a lead
// byte, and 0 for a byte that starts none (a continuation byte 0x80 to
// 0xBF, or 0xF8 to 0xFF).
constexpr size_t sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// True when the `len` - 1 bytes after the lead at p are all continuation
// bytes.
constexpr bool continuations_follow(const unsigned char *p, size_t len) noexcept {
    for (size_t k = 1; k < len; ++k) {
        if (!is_continuation(p[k])) return false;
    }
    return true;
}

// The value of the `len`-byte sequence at p, len 2 to 4: the lead's payload
// bits, then six bits from each following byte.
constexpr uint32_t decode(const unsigned char *p, size_t len) noexcept {
    uint32_t cp = p[0] & (0x7Fu >> len);
    for (size_t k = 1; k < len; ++k) cp = cp << 6 | (p[k] & 0x3Fu);
    return cp;
}

namespace check {
constexpr unsigned char kEuro[] = {0xE2, 0x82, 0xAC};
constexpr unsigned char kSkinTone[] = {0xF0, 0x9F, 0x8F, 0xBB};
constexpr unsigned char kOverlongNul[] = {0xC0, 0x80};
static_assert(sequence_length(0x41) == 1 && sequence_length(0x80) == 0 && sequence_length(0xC3) == 2 &&
              sequence_length(0xE2) == 3 && sequence_length(0xF0) == 4 && sequence_length(0xF8) == 0);
static_assert(decode(kEuro, 3) == 0x20AC && decode(kSkinTone, 4) == 0x1F3FB && decode(kOverlongNul, 2) == 0);
}  // namespace check

}  // namespace twr_utf8

#endif
