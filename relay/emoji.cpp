#include "relay/emoji.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "relay/detail/byte_scan.h"
#include "relay/detail/utf8.h"

namespace {

struct emoji_row {
    const char *seq;  // one character, UTF-8, NUL-terminated
    const char *tag;
};

// The emoji that chat messages use most, each one code point. Two rows share
// "(star)". Variation selectors and skin tones are not rows: a heart with
// U+FE0F is the heart's row followed by a character that is removed.
constexpr emoji_row emoji_table[] = {
    {"\U0001F4AC", "(chat)"},     {"\U0001F4E2", "(announce)"}, {"\U0001F4E3", "(megaphone)"},
    {"\U0001F6E0", "(tools)"},    {"\U0001F6E1", "(shield)"},   {"\U0001F4CB", "(clipboard)"},
    {"\U0001F4DD", "(memo)"},     {"\U0001F4DA", "(books)"},    {"\U0001F4CC", "(pin)"},
    {"\U0001F44B", "(wave)"},     {"\U0001F3AE", "(game)"},     {"\U0001F3B5", "(music)"},
    {"\U0001F3A8", "(art)"},      {"\U0001F4F7", "(camera)"},   {"\U0001F4F1", "(phone)"},
    {"\U0001F4BB", "(computer)"}, {"\U0001F4E7", "(email)"},    {"\U0001F512", "(lock)"},
    {"\U0001F513", "(unlock)"},   {"\U0001F527", "(wrench)"},   {"\U0001F4A1", "(idea)"},
    {"\U0001F525", "(fire)"},     {"\U0001F31F", "(star)"},     {"\U0001F389", "(party)"},
    {"\U0001F680", "(rocket)"},   {"\U0001F4B0", "(money)"},    {"\U0001F3C6", "(trophy)"},
    {"\U0001F916", "(bot)"},      {"\U0001F44D", "(+1)"},       {"\U0001F44E", "(-1)"},
    {"\U0001F4E1", "(signal)"},   {"\u2764", "(heart)"},        {"\u2B50", "(star)"},
    {"\u2705", "(check)"},        {"\u274C", "(x)"},            {"\u26A0", "(warn)"},
    {"\u2139", "(info)"},         {nullptr, nullptr},  // a null sequence ends the table
};
static_assert(std::size(emoji_table) == 37 + 1);

// The rows are written as universal character names; they must come out as
// UTF-8 bytes, whatever the compiler's default execution character set.
static_assert(sizeof("\U0001F525") == 5 && static_cast<unsigned char>("\U0001F525"[0]) == 0xF0 &&
                  static_cast<unsigned char>("\U0001F525"[3]) == 0xA5,
              "narrow string literals must be UTF-8");
static_assert(sizeof("\u2764") == 4 && static_cast<unsigned char>("\u2764"[0]) == 0xE2);

constexpr size_t text_len(const char *s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

constexpr bool same_text(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// A single byte a client can show: the style bytes, tab, newline, carriage
// return, printable ASCII, and the upper half (Mac OS Roman glyphs).
constexpr bool is_macroman_safe(unsigned char b) {
    return (b >= 0x01 && b <= 0x03) || b == '\t' || b == '\n' || b == '\r' || (b >= 0x20 && b <= 0x7E) ||
           b >= 0x80;
}

// Each row is one well-formed character whose lead byte gives its length,
// so no row starts with an ASCII byte (ASCII never needs a row lookup), no
// row is a prefix of another, and at most one row matches at a position.
// Tags are printable ASCII in parentheses and grow the text by a bounded
// factor, which callers size their buffers by.
consteval bool rows_are_sound() {
    for (size_t r = 0; emoji_table[r].seq != nullptr; ++r) {
        const char *seq = emoji_table[r].seq;
        const size_t len = text_len(seq);
        if (len < 2 || len > 4 || twr_utf8::sequence_length(static_cast<unsigned char>(seq[0])) != len) return false;
        for (size_t k = 1; k < len; ++k)
            if (!twr_utf8::is_continuation(static_cast<unsigned char>(seq[k]))) return false;
        const char *tag = emoji_table[r].tag;
        const size_t tag_len = text_len(tag);
        if (tag_len < 3 || tag[0] != '(' || tag[tag_len - 1] != ')') return false;
        for (size_t k = 0; k < tag_len; ++k)
            if (tag[k] < 0x20 || tag[k] > 0x7E) return false;
        if (tag_len > TW_EMOJI_MAX_GROWTH * len) return false;
        for (size_t other = r + 1; emoji_table[other].seq != nullptr; ++other)
            if (same_text(emoji_table[other].seq, emoji_table[r].seq)) return false;
    }
    return true;
}
static_assert(rows_are_sound());
// A custom emoji "<:n:1>" (six bytes) gives "(n)": the forms only shrink.
static_assert(TW_EMOJI_MAX_GROWTH >= 1);

// The bytes of a sequence of up to four bytes, packed big-endian. Sequences
// of different lengths never share a key: their lead bytes differ.
template <typename Byte>
constexpr uint32_t pack(const Byte *p, size_t len) {
    uint32_t key = 0;
    for (size_t k = 0; k < len; ++k) key = key << 8 | static_cast<unsigned char>(p[k]);
    return key;
}

// Open-addressing index from packed sequence to row, built from the table,
// so a lead byte costs one hash probe instead of a scan of every row.
constexpr size_t kSlotBits = 7;
constexpr size_t kSlots = size_t{1} << kSlotBits;
static_assert(kSlots >= 2 * (std::size(emoji_table) - 1), "keep the index at most half full");

struct slot {
    uint32_t key;  // 0: empty (no sequence packs to 0)
    uint8_t row;
};
struct row_index {
    slot slots[kSlots];
};

constexpr size_t slot_of(uint32_t key) { return (key * 0x9E3779B1u) >> (32 - kSlotBits); }

consteval row_index make_index() {
    row_index index{};
    for (size_t r = 0; emoji_table[r].seq != nullptr; ++r) {
        const uint32_t key = pack(emoji_table[r].seq, text_len(emoji_table[r].seq));
        size_t s = slot_of(key);
        while (index.slots[s].key != 0) s = (s + 1) % kSlots;
        index.slots[s] = {key, static_cast<uint8_t>(r)};
    }
    return index;
}
constexpr row_index emoji_index = make_index();

consteval bool any_two_byte_row() {
    for (size_t r = 0; emoji_table[r].seq != nullptr; ++r)
        if (text_len(emoji_table[r].seq) == 2) return true;
    return false;
}
constexpr bool kTwoByteRows = any_two_byte_row();

// The row whose sequence is the `len` bytes at p, or -1.
template <typename Byte>
constexpr int match_emoji(const Byte *p, size_t len) {
    const uint32_t key = pack(p, len);
    for (size_t s = slot_of(key);; s = (s + 1) % kSlots) {
        if (emoji_index.slots[s].key == key) return emoji_index.slots[s].row;
        if (emoji_index.slots[s].key == 0) return -1;
    }
}

consteval bool index_finds_every_row() {
    for (size_t r = 0; emoji_table[r].seq != nullptr; ++r) {
        if (match_emoji(emoji_table[r].seq, text_len(emoji_table[r].seq)) != static_cast<int>(r)) return false;
    }
    return true;
}
static_assert(index_finds_every_row());

// Characters with no glyph of their own: they only shape the character
// before them, so a client is better off without them than with a "?".
struct cp_range {
    uint32_t first, last;
};
constexpr cp_range invisible_table[] = {
    {0xFE0E, 0xFE0F},    // variation selectors, text and emoji presentation
    {0x200D, 0x200D},    // zero-width joiner
    {0x1F3FB, 0x1F3FF},  // skin-tone modifiers
};

// Two-byte characters (accented Latin letters, most of European text) are
// neither rows nor invisible, so they skip both lookups.
consteval bool any_two_byte_invisible() {
    for (const cp_range &r : invisible_table)
        if (r.first < 0x800) return true;
    return false;
}
constexpr bool kTwoByteInvisible = any_two_byte_invisible();

constexpr bool is_invisible(uint32_t cp) {
    for (const cp_range &r : invisible_table)
        if (cp >= r.first && cp <= r.last) return true;
    return false;
}

constexpr bool is_name_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The output side of one call: stores only below `room` (capacity less NUL).
struct writer {
    unsigned char *dst;
    size_t room;
    size_t n;
};

void put_bytes(writer &w, const unsigned char *p, size_t count) {
    const size_t fit = count < w.room - w.n ? count : w.room - w.n;
    std::memcpy(w.dst + w.n, p, fit);
    w.n += fit;
}

// "<:name:digits>" or "<a:name:digits>" at i becomes "(name)", cut where the
// buffer fills. Returns the bytes the form occupies, or 0 (nothing written)
// when there is no complete form at i.
size_t try_custom_emoji(const unsigned char *s, size_t len, size_t i, writer &w) {
    size_t j = i + 1;
    if (j < len && s[j] == 'a') j = i + 2;
    if (j >= len || s[j] != ':') return 0;
    const size_t name = j + 1;
    size_t k = name;
    while (k < len && is_name_char(s[k])) ++k;
    if (k == name || k >= len || s[k] != ':') return 0;
    const size_t name_end = k++;
    const size_t id = k;
    while (k < len && is_digit(s[k])) ++k;
    if (k == id || k >= len || s[k] != '>') return 0;
    const unsigned char open = '(', close = ')';
    put_bytes(w, &open, 1);
    put_bytes(w, s + name, name_end - name);
    put_bytes(w, &close, 1);
    return k + 1 - i;
}

// Bytes that a block copy must stop at: control bytes other than newline,
// 0x7F, "<" (a custom emoji may start there) and everything from 0x80 up.
constexpr bool ends_plain_run(unsigned char c) {
    return c == '<' || c == 0x7F || (c < 0x20 && c != '\n') || c >= 0x80;
}

// The same bytes a block at a time. c + 1 is below 0x21 as a signed byte
// exactly for the control bytes and 0x7F to 0xFF; the newline among them is
// flipped back out.
struct run_end {
    static constexpr bool kWordTest = false;
    static constexpr bool is_mark(unsigned char c) noexcept { return ends_plain_run(c); }
    static constexpr bool word_has_mark(uint64_t) noexcept { return true; }
#if TWR_SCAN_X86
    static unsigned sse2(__m128i v) noexcept {
        using namespace twr_scan;
        const __m128i low = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(1)), _mm_set1_epi8(0x21));
        return mask16(_mm_or_si128(_mm_xor_si128(low, eq16(v, '\n')), eq16(v, '<')));
    }
    // With AVX2 one table lookup by the low nibble finds both the newline
    // and "<" (H, with its top bit set, equals no byte the lookup leaves).
    TWR_AVX2 static __m256i avx2(__m256i v) noexcept {
        constexpr char H = static_cast<char>(0x80);
        const __m256i by_low_nibble = _mm256_setr_epi8(H, H, H, H, H, H, H, H, H, H, '\n', H, '<', H, H, H,
                                                       H, H, H, H, H, H, H, H, H, H, '\n', H, '<', H, H, H);
        const __m256i low = _mm256_cmpgt_epi8(_mm256_set1_epi8(0x21), _mm256_add_epi8(v, _mm256_set1_epi8(1)));
        return _mm256_xor_si256(low, _mm256_cmpeq_epi8(_mm256_shuffle_epi8(by_low_nibble, v), v));
    }
    // On 64 bytes, one lookup by the low seven bits in a table of the
    // marks below 0x80, and the top bit for everything above.
    static constexpr std::array<char, 128> kMarks = [] {
        std::array<char, 128> t{};
        for (size_t c = 0; c < t.size(); ++c) t[c] = ends_plain_run(static_cast<unsigned char>(c)) ? '\x80' : 0;
        return t;
    }();
    static_assert(kMarks['<'] != 0 && kMarks[0x7F] != 0 && kMarks['\t'] != 0 && kMarks['\n'] == 0 && kMarks['~'] == 0);
    TWR_AVX512 static uint64_t avx512(__m512i v) noexcept {
        const __m512i low = _mm512_loadu_si512(kMarks.data()), high = _mm512_loadu_si512(kMarks.data() + 64);
        return _mm512_movepi8_mask(_mm512_or_si512(_mm512_permutex2var_epi8(low, v, high), v));
    }
#endif
};

// The one replacing path; the options select its variants at compile time.
template <unsigned Options>
size_t strip(const unsigned char *s, size_t len, unsigned char *dst, size_t out_size) {
    constexpr bool keep_text = (Options & TW_EMOJI_KEEP_TEXT) != 0;
    constexpr bool drop_style = (Options & TW_EMOJI_DROP_STYLE) != 0;
    writer w{dst, out_size - 1, 0};
    const twr_scan::path via = twr_scan::active_path();
    size_t i = 0;
    while (i < len && w.n < w.room) {
        const unsigned char c = s[i];
        if (!ends_plain_run(c)) {
            const size_t limit = len - i < w.room - w.n ? len - i : w.room - w.n;
            const size_t run = twr_scan::copy_run<run_end>(via, w.dst + w.n, s + i, limit);
            w.n += run;
            i += run;
            continue;
        }
        if (c == '<') {
            const size_t used = try_custom_emoji(s, len, i, w);
            if (used != 0) {
                i += used;
                continue;
            }
        }
        const size_t k = twr_utf8::sequence_length(c);  // 0 or 1: a single byte, handled below
        if (k > 1) {
            if (len - i < k) {  // cut off by the end of the text: only the lead goes
                ++i;
                continue;
            }
            const int row = k == 2 && !kTwoByteRows ? -1 : match_emoji(s + i, k);
            if (row >= 0) {
                // The whole emoji is consumed even when its tag is cut.
                const char *tag = emoji_table[row].tag;
                put_bytes(w, reinterpret_cast<const unsigned char *>(tag), std::strlen(tag));
                i += k;
                continue;
            }
            if constexpr (keep_text) {
                if (!twr_utf8::continuations_follow(s + i, k)) {
                    ++i;  // the lead alone goes; what follows is read on its own
                    continue;
                }
                if ((k == 2 && !kTwoByteInvisible) || !is_invisible(twr_utf8::decode(s + i, k))) {
                    if (k > w.room - w.n) break;  // never half a character
                    for (size_t t = 0; t < k; ++t) w.dst[w.n + t] = s[i + t];
                    w.n += k;
                }
            }
            i += k;
            continue;
        }
        const bool keep_byte = is_macroman_safe(c) && !(drop_style && c >= 0x01 && c <= 0x03) &&
                               !(keep_text && c >= 0x80);
        if (keep_byte) w.dst[w.n++] = c;
        ++i;
    }
    dst[w.n] = '\0';
    return w.n;
}

}  // namespace

size_t tw_strip_emoji(const char *in, size_t len, char *out, size_t out_size) {
    return tw_strip_emoji_ex(in, len, out, out_size, 0);
}

size_t tw_strip_emoji_ex(const char *in, size_t len, char *out, size_t out_size, unsigned options) {
    if (out == nullptr || out_size == 0) return 0;
    if (in == nullptr || len == 0) {
        out[0] = '\0';
        return 0;
    }
    const auto *s = reinterpret_cast<const unsigned char *>(in);
    auto *d = reinterpret_cast<unsigned char *>(out);
    switch (options & (TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE)) {
        case TW_EMOJI_KEEP_TEXT:
            return strip<TW_EMOJI_KEEP_TEXT>(s, len, d, out_size);
        case TW_EMOJI_DROP_STYLE:
            return strip<TW_EMOJI_DROP_STYLE>(s, len, d, out_size);
        case TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE:
            return strip<TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE>(s, len, d, out_size);
        default:
            return strip<0>(s, len, d, out_size);
    }
}
