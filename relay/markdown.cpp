#include "relay/markdown.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/detail/byte_scan.h"

namespace {

// The output side of one call. `n` counts the complete output whether or not
// it fits; bytes are stored only below `cap` (the capacity less the NUL), so
// the caller learns the full length and nothing lands past the terminator.
struct writer {
    unsigned char *dst;
    size_t cap;
    size_t n;
};

void emit(writer &w, unsigned char b) {
    if (w.n < w.cap) w.dst[w.n] = b;
    ++w.n;
}

void emit_span(writer &w, const unsigned char *p, size_t count) {
    if (w.n < w.cap) {
        const size_t fit = count < w.cap - w.n ? count : w.cap - w.n;
        std::memmove(w.dst + w.n, p, fit);  // in place, the bytes move back
    }
    w.n += count;
}

// Markers are one to four bytes: a byte loop beats a call to memcmp.
bool same_bytes(const unsigned char *text, const char *marker, size_t mlen) {
    for (size_t k = 0; k < mlen; ++k)
        if (text[k] != static_cast<unsigned char>(marker[k])) return false;
    return true;
}

bool starts_with(const unsigned char *text, size_t len, size_t pos, const char *marker, size_t mlen) {
    return pos <= len && mlen <= len - pos && same_bytes(text + pos, marker, mlen);
}

// First position p >= pos with the whole marker before len, or len.
size_t find_close(const unsigned char *text, size_t len, size_t pos, const char *marker, size_t mlen) {
    while (pos <= len && mlen <= len - pos) {
        const void *hit = std::memchr(text + pos, marker[0], len - pos - mlen + 1);
        if (hit == nullptr) return len;
        const size_t p = static_cast<size_t>(static_cast<const unsigned char *>(hit) - text);
        if (same_bytes(text + p, marker, mlen)) return p;
        pos = p + 1;
    }
    return len;
}

// Every rule starts at one of these bytes; any other byte is copied as it
// is, so runs without them move in blocks. A newline is not among them: the
// rules that care about line start look back at it from their own byte.
constexpr bool is_marker_byte(unsigned char c) {
    return c == '`' || c == '*' || c == '_' || c == '~' || c == '|' || c == '>' || c == '-';
}

// The same bytes a block at a time. With AVX2 one table lookup by each
// byte's low nibble gives the marker with that low nibble, and a byte is a
// marker when it equals it; ">" shares its low nibble with "~" and is
// compared on its own. The lookup gives 0 for bytes from 0x80 up, which
// then equal nothing, and H for low nibbles without a marker.
struct marker_bytes {
    static constexpr bool kWordTest = false;
    static constexpr bool is_mark(unsigned char c) noexcept { return is_marker_byte(c); }
    static constexpr bool word_has_mark(uint64_t) noexcept { return true; }
#if TWR_SCAN_X86
    static unsigned sse2(__m128i v) noexcept {
        using twr_scan::eq16;
        const __m128i a = _mm_or_si128(_mm_or_si128(eq16(v, '`'), eq16(v, '*')), _mm_or_si128(eq16(v, '_'), eq16(v, '~')));
        const __m128i b = _mm_or_si128(_mm_or_si128(eq16(v, '|'), eq16(v, '>')), eq16(v, '-'));
        return twr_scan::mask16(_mm_or_si128(a, b));
    }
    // The lookup table, the same in each 16-byte lane. H (0x80) has its top
    // bit set, which no byte equal to a lookup result has.
    static constexpr std::array<char, 64> kByLowNibble = [] {
        constexpr char H = static_cast<char>(0x80);
        constexpr char lane[16] = {'`', H, H, H, H, H, H, H, H, H, '*', H, '|', '-', '~', '_'};
        std::array<char, 64> t{};
        for (size_t k = 0; k < t.size(); ++k) t[k] = lane[k % 16];
        return t;
    }();
    TWR_AVX2 static __m256i avx2(__m256i v) noexcept {
        const __m256i by_low_nibble = twr_scan::load32(reinterpret_cast<const unsigned char *>(kByLowNibble.data()));
        const __m256i found = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(by_low_nibble, v), v);
        return _mm256_or_si256(found, twr_scan::eq32(v, '>'));
    }
    // The same lookup on 64 bytes, each compare giving its mask.
    TWR_AVX512 static uint64_t avx512(__m512i v) noexcept {
        const __m512i by_low_nibble = _mm512_loadu_si512(kByLowNibble.data());
        return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(by_low_nibble, v), v) |
               _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('>'));
    }
#endif
};

#if TWR_SCAN_X86
// 32 positions a round; *k is where it stopped.
TWR_AVX2 bool list_item_avx2(const unsigned char *s, size_t len, size_t *k) {
    using namespace twr_scan;
    for (; len - *k >= 34; *k += 32) {
        const __m256i nl = eq32(load32(s + *k), '\n'), next = load32(s + *k + 1);
        const __m256i dash = _mm256_or_si256(eq32(next, '-'), eq32(next, '*'));
        if (mask32(_mm256_and_si256(_mm256_and_si256(nl, dash), eq32(load32(s + *k + 2), ' '))) != 0) return true;
    }
    return false;
}
#endif

// A list item, "-" or "*" and a space at line start, is the one rule whose
// output is longer than what it reads; without one the text can be
// formatted where it lies, every store behind the reading. The scan tests
// each byte as a newline followed by a list item, three loads a block.
struct list_start {
    static bool at(const unsigned char *s, size_t k) noexcept {
        return s[k] == '\n' && (s[k + 1] == '-' || s[k + 1] == '*') && s[k + 2] == ' ';
    }
};

// Whether the text holds a list item; `at_start` says whether s starts the
// whole text, otherwise it starts on the byte before a possible line start.
bool has_list_item(twr_scan::path via, const unsigned char *s, size_t len, bool at_start) {
    if (len < 2) return false;
    if (at_start && (s[0] == '-' || s[0] == '*') && s[1] == ' ') return true;
    size_t k = 0;
#if TWR_SCAN_X86
    if (via >= twr_scan::path::avx2 && list_item_avx2(s, len, &k)) return true;
    using namespace twr_scan;
    for (; via != path::portable && len - k >= 18; k += 16) {
        const __m128i nl = eq16(load16(s + k), '\n'), next = load16(s + k + 1);
        const __m128i dash = _mm_or_si128(eq16(next, '-'), eq16(next, '*'));
        if (mask16(_mm_and_si128(_mm_and_si128(nl, dash), eq16(load16(s + k + 2), ' '))) != 0) return true;
    }
#endif
    (void)via;
    for (; k + 2 < len; ++k)
        if (list_start::at(s, k)) return true;
    return false;
}

constexpr unsigned char kBold = TW_CTRL_BOLD;
constexpr unsigned char kItalic = TW_CTRL_ITALIC;
constexpr unsigned char kMono = TW_CTRL_MONOSPACE;
constexpr unsigned char kQuote = TW_QUOTE_MARK;
constexpr unsigned char kBullet = TW_BULLET_MARK;

// A fence always applies, closed or not: an unclosed one makes the rest of
// the message one code block. Returns the position after the block.
size_t code_block(const unsigned char *s, size_t len, size_t i, writer &w) {
    i += 3;
    while (i < len && s[i] != '\n' && s[i] != '`') ++i;  // the language tag, dropped
    if (i < len && s[i] == '\n') ++i;
    const size_t start = i;
    const size_t close = find_close(s, len, start, "```", 3);
    size_t end = close;
    while (end > start && (s[end - 1] == '\n' || s[end - 1] == '\r' || s[end - 1] == ' ')) --end;
    emit(w, kMono);
    emit_span(w, s + start, end - start);
    emit(w, kMono);
    return close < len ? close + 3 : len;
}

// Single-character italic markers open only when left-flanked, and only
// when the first later marker is not itself doubled.
size_t single_italic(const unsigned char *s, size_t len, size_t i, char marker, writer &w) {
    const size_t close = find_close(s, len, i + 1, &marker, 1);
    if (close >= len) return 0;
    if (close + 1 < len && s[close + 1] == static_cast<unsigned char>(marker)) return 0;
    emit(w, kItalic);
    emit_span(w, s + i + 1, close - i - 1);
    emit(w, kItalic);
    return close + 1;
}

// A span of text between a marker at i and its partner, written between
// opening and closing codes (the closing ones in reverse order). Returns the
// position after the partner, or 0 when the marker is not there or not closed.
size_t span(const unsigned char *s, size_t len, size_t i, const char *marker, size_t mlen,
            const unsigned char *codes, size_t ncodes, writer &w) {
    if (!starts_with(s, len, i, marker, mlen)) return 0;
    const size_t close = find_close(s, len, i + mlen, marker, mlen);
    if (close >= len) return 0;
    for (size_t k = 0; k < ncodes; ++k) emit(w, codes[k]);
    emit_span(w, s + i + mlen, close - i - mlen);
    for (size_t k = ncodes; k > 0; --k) emit(w, codes[k - 1]);
    return close + mlen;
}

// Tries the rules in order at a marker byte; returns the new position and
// sets `before` to the input byte before it. `before` is the input byte
// before i ("\n" at the start): in place, the byte there may already hold
// output.
size_t apply_rules(const unsigned char *s, size_t len, size_t i, unsigned char &before, writer &w) {
    const unsigned char c = s[i];
    const bool line_start = before == '\n';
    const bool left_flanked = before == ' ' || before == '\n' || before == '\t';
    const unsigned char mono[] = {kMono};
    const unsigned char bold_italic[] = {kBold, kItalic};
    const unsigned char bold[] = {kBold};
    size_t next = 0;

    before = c;  // every rule but the fence ends on a byte that equals c or on a space
    if (starts_with(s, len, i, "```", 3)) return code_block(s, len, i, w);
    if ((next = span(s, len, i, "`", 1, mono, 1, w)) != 0) return next;
    if ((next = span(s, len, i, "***", 3, bold_italic, 2, w)) != 0) return next;
    if ((next = span(s, len, i, "**", 2, bold, 1, w)) != 0) return next;
    if ((c == '*' || c == '_') && left_flanked && !(i + 1 < len && s[i + 1] == c)) {
        if ((next = single_italic(s, len, i, static_cast<char>(c), w)) != 0) return next;
    }
    if ((next = span(s, len, i, "~~", 2, nullptr, 0, w)) != 0) return next;
    if ((next = span(s, len, i, "||", 2, nullptr, 0, w)) != 0) return next;
    if (c == '>' && line_start) {
        if (starts_with(s, len, i, ">>> ", 4)) {
            emit(w, kQuote);
            emit(w, ' ');
            before = ' ';
            return i + 4;
        }
        if (i + 1 < len && s[i + 1] == ' ') {
            emit(w, kQuote);
            emit(w, ' ');
            before = ' ';
            return i + 2;
        }
    }
    if ((c == '-' || c == '*') && line_start && i + 1 < len && s[i + 1] == ' ') {
        emit(w, ' ');
        emit(w, ' ');
        emit(w, kBullet);
        emit(w, ' ');
        before = ' ';
        return i + 2;
    }
    emit(w, c);
    return i + 1;
}

// The one formatting path. `s` is either apart from `dst` or, for a text
// without list items, the same bytes: then no rule writes more than it has
// read, so every store lands behind the reading position.
size_t format(const unsigned char *s, size_t len, unsigned char *dst, size_t dst_size, twr_scan::path via) {
    writer w{dst, dst_size - 1, 0};
    size_t i = 0;
    unsigned char before = '\n';
    while (i < len) {
        if (is_marker_byte(s[i])) {
            i = apply_rules(s, len, i, before, w);
            continue;
        }
        // Copy what fits; once the buffer is full, or where the text already
        // lies in place, only count.
        size_t run;
        if (w.n < w.cap && w.dst + w.n != s + i) {
            const size_t limit = len - i < w.cap - w.n ? len - i : w.cap - w.n;
            run = twr_scan::copy_run<marker_bytes>(via, w.dst + w.n, s + i, limit);
        } else {
            run = twr_scan::plain_run<marker_bytes>(via, s + i, len - i);
        }
        w.n += run;
        i += run;
        before = s[i - 1];  // a copy stores below n, which is below i - 1
    }
    dst[w.n < dst_size ? w.n : dst_size - 1] = '\0';
    return w.n;
}

}  // namespace

size_t tw_format_markdown(char *buf, size_t len, size_t buf_size) {
    // len > buf_size would have the working copy read past the caller's buffer.
    if (buf == nullptr || len == 0 || buf_size < 2 || len > buf_size) return 0;
    auto *text = reinterpret_cast<unsigned char *>(buf);
    const twr_scan::path via = twr_scan::active_path();
    // Up to the first marker the text is its own output; a list item needs
    // a marker, so it is looked for only from there.
    const size_t first = twr_scan::plain_run<marker_bytes>(via, text, len);
    if (first == len) {
        text[len < buf_size ? len : buf_size - 1] = '\0';
        return len;
    }
    const size_t from = first == 0 ? 0 : first - 1;
    if (!has_list_item(via, text + from, len - from, from == 0)) return format(text, len, text, buf_size, via);
    // A list item may write ahead of the reading: the text is read from a copy.
    if (len == SIZE_MAX) return len;  // no room for the working copy's NUL
    auto *copy = static_cast<unsigned char *>(std::malloc(len + 1));
    if (copy == nullptr) return len;
    std::memcpy(copy, buf, len);
    copy[len] = '\0';
    const size_t n = format(copy, len, text, buf_size, via);
    std::free(copy);
    return n;
}

size_t tw_format_markdown_to(const char *in, size_t len, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0) return 0;
    if (in == nullptr || len == 0) {
        out[0] = '\0';
        return 0;
    }
    return format(reinterpret_cast<const unsigned char *>(in), len, reinterpret_cast<unsigned char *>(out),
                  out_size, twr_scan::active_path());
}
