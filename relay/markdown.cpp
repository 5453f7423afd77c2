#include "relay/markdown.h"

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
        std::memcpy(w.dst + w.n, p, fit);
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

unsigned marker_lanes(twr_scan::bytes16 b) {
    using twr_scan::eq;
    return twr_scan::lane_mask(eq(b, '`') | eq(b, '*') | eq(b, '_') | eq(b, '~') | eq(b, '|') | eq(b, '>') |
                               eq(b, '-'));
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

// Tries the rules in order at a marker byte; returns the new position.
size_t apply_rules(const unsigned char *s, size_t len, size_t i, writer &w) {
    const unsigned char c = s[i];
    const unsigned char before = i == 0 ? '\n' : s[i - 1];
    const bool line_start = before == '\n';
    const bool left_flanked = before == ' ' || before == '\n' || before == '\t';
    const unsigned char mono[] = {kMono};
    const unsigned char bold_italic[] = {kBold, kItalic};
    const unsigned char bold[] = {kBold};
    size_t next = 0;

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
            return i + 4;
        }
        if (i + 1 < len && s[i + 1] == ' ') {
            emit(w, kQuote);
            emit(w, ' ');
            return i + 2;
        }
    }
    if ((c == '-' || c == '*') && line_start && i + 1 < len && s[i + 1] == ' ') {
        emit(w, ' ');
        emit(w, ' ');
        emit(w, kBullet);
        emit(w, ' ');
        return i + 2;
    }
    emit(w, c);
    return i + 1;
}

// The one formatting path. `s` must not overlap `dst`: reading ahead of
// the output is what lets the text grow.
size_t format(const unsigned char *s, size_t len, unsigned char *dst, size_t dst_size) {
    writer w{dst, dst_size - 1, 0};
    size_t i = 0;
    while (i < len) {
        if (is_marker_byte(s[i])) {
            i = apply_rules(s, len, i, w);
            continue;
        }
        // Copy what fits; once the buffer is full, only count.
        size_t run;
        if (w.n < w.cap) {
            const size_t limit = len - i < w.cap - w.n ? len - i : w.cap - w.n;
            run = twr_scan::copy_run(w.dst + w.n, s + i, limit, marker_lanes, is_marker_byte);
        } else {
            run = twr_scan::plain_run(s + i, len - i, marker_lanes, is_marker_byte);
        }
        w.n += run;
        i += run;
    }
    dst[w.n < dst_size ? w.n : dst_size - 1] = '\0';
    return w.n;
}

}  // namespace

size_t tw_format_markdown(char *buf, size_t len, size_t buf_size) {
    // len > buf_size would have the working copy read past the caller's buffer.
    if (buf == nullptr || len == 0 || buf_size < 2 || len > buf_size) return 0;
    if (len == SIZE_MAX) return len;  // no room for the working copy's NUL
    auto *copy = static_cast<unsigned char *>(std::malloc(len + 1));
    if (copy == nullptr) return len;
    std::memcpy(copy, buf, len);
    copy[len] = '\0';
    const size_t n = format(copy, len, reinterpret_cast<unsigned char *>(buf), buf_size);
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
                  out_size);
}
