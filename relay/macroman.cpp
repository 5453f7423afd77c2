#include "relay/macroman.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "relay/detail/byte_scan.h"
#include "relay/detail/utf8.h"

namespace {

struct cp_entry {
    uint32_t cp;
    uint8_t byte;
};

// The characters of Apple's Mac OS Roman chart that the clients are sent, in
// its current form (0xDB is the euro sign, not the old currency sign). The
// rest of the upper half (Greek and math symbols, the Apple logo, ligatures,
// spacing accents, and Á, È, Í) is left out on purpose and comes out as "?".
// Ordered by code point; order does not affect results.
constexpr cp_entry cp_table[] = {
    {0x00A1, 0xC1}, {0x00A2, 0xA2}, {0x00A3, 0xA3}, {0x00A7, 0xA4}, {0x00A8, 0xAC},  // ¡ ¢ £ § ¨
    {0x00A9, 0xA9}, {0x00AB, 0xC7}, {0x00AE, 0xA8}, {0x00B0, 0xA1}, {0x00B4, 0xAB},  // © « ® ° ´
    {0x00B6, 0xA6}, {0x00BB, 0xC8}, {0x00BF, 0xC0},                                  // ¶ » ¿
    {0x00C0, 0xCB}, {0x00C2, 0xE5}, {0x00C3, 0xCC}, {0x00C4, 0x80}, {0x00C5, 0x81},  // À Â Ã Ä Å
    {0x00C6, 0xAE}, {0x00C7, 0x82}, {0x00C9, 0x83}, {0x00CA, 0xE6}, {0x00CB, 0xE8},  // Æ Ç É Ê Ë
    {0x00CC, 0xED}, {0x00CE, 0xEB}, {0x00CF, 0xEC}, {0x00D1, 0x84}, {0x00D2, 0xF1},  // Ì Î Ï Ñ Ò
    {0x00D3, 0xEE}, {0x00D4, 0xEF}, {0x00D5, 0xCD}, {0x00D6, 0x85}, {0x00D8, 0xAF},  // Ó Ô Õ Ö Ø
    {0x00D9, 0xF4}, {0x00DA, 0xF2}, {0x00DB, 0xF3}, {0x00DC, 0x86},                  // Ù Ú Û Ü
    {0x00DF, 0xA7}, {0x00E0, 0x88}, {0x00E1, 0x87}, {0x00E2, 0x89}, {0x00E3, 0x8B},  // ß à á â ã
    {0x00E4, 0x8A}, {0x00E5, 0x8C}, {0x00E6, 0xBE}, {0x00E7, 0x8D}, {0x00E8, 0x8F},  // ä å æ ç è
    {0x00E9, 0x8E}, {0x00EA, 0x90}, {0x00EB, 0x91}, {0x00EC, 0x93}, {0x00ED, 0x92},  // é ê ë ì í
    {0x00EE, 0x94}, {0x00EF, 0x95}, {0x00F1, 0x96}, {0x00F2, 0x98}, {0x00F3, 0x97},  // î ï ñ ò ó
    {0x00F4, 0x99}, {0x00F5, 0x9B}, {0x00F6, 0x9A}, {0x00F7, 0xD6}, {0x00F8, 0xBF},  // ô õ ö ÷ ø
    {0x00F9, 0x9D}, {0x00FA, 0x9C}, {0x00FB, 0x9E}, {0x00FC, 0x9F}, {0x00FF, 0xD8},  // ù ú û ü ÿ
    {0x0152, 0xCE}, {0x0153, 0xCF},                                                  // Œ œ
    {0x2013, 0xD0}, {0x2014, 0xD1}, {0x2018, 0xD4}, {0x2019, 0xD5}, {0x201C, 0xD2},  // – — ‘ ’ “
    {0x201D, 0xD3}, {0x2020, 0xA0}, {0x2022, 0xA5}, {0x2026, 0xC9}, {0x20AC, 0xDB},  // ” † • … €
    {0x2122, 0xAA},                                                                  // ™
    {0, 0},  // ends the scan
};
static_assert(std::size(cp_table) == 80 + 1);

// A repeated code point would shadow its twin without any symptom, and a
// repeated byte would mean two characters share one glyph.
consteval bool table_is_sound() {
    for (size_t a = 0; cp_table[a].cp != 0; ++a) {
        if (cp_table[a].cp < 0x80 || cp_table[a].byte < 0x80) return false;
        for (size_t b = a + 1; cp_table[b].cp != 0; ++b)
            if (cp_table[a].cp == cp_table[b].cp || cp_table[a].byte == cp_table[b].byte) return false;
    }
    return true;
}
static_assert(table_is_sound());

// The table's byte for cp, or 0 when cp is not in the table.
constexpr uint8_t cp_to_macroman(uint32_t cp) {
    for (const cp_entry *e = cp_table; e->cp != 0; ++e)
        if (e->cp == cp) return e->byte;
    return 0;
}
static_assert(cp_to_macroman(0x00E9) == 0x8E);  // é
static_assert(cp_to_macroman(0x00E4) == 0x8A);  // ä
static_assert(cp_to_macroman(0x20AC) == 0xDB);  // € has been 0xDB since 1998
static_assert(cp_to_macroman(0x2014) == 0xD1);  // —
static_assert(cp_to_macroman(0x2026) == 0xC9);  // …
static_assert(cp_to_macroman(0x00B6) == 0xA6);  // ¶, the quote mark of the markdown pass
static_assert(cp_to_macroman(0x2022) == 0xA5);  // •, its list bullet
static_assert(cp_to_macroman(0x00C1) == 0);     // Á is left out

// Direct lookups derived from cp_table, holding the output byte itself ("?"
// for every code point outside the table). Two-byte sequences cover
// U+0000..U+07FF; among the longer ones only U+2000..U+21FF holds table
// entries, so one small window serves every three-byte character.
constexpr uint32_t kNarrowEnd = 0x800;
constexpr uint32_t kWideBase = 0x2000;
constexpr uint32_t kWideEnd = 0x2200;

consteval bool wide_entries_fit_window() {
    for (const cp_entry *e = cp_table; e->cp != 0; ++e)
        if (e->cp >= kNarrowEnd && (e->cp < kWideBase || e->cp >= kWideEnd)) return false;
    return true;
}
static_assert(wide_entries_fit_window(), "a table entry lies outside both direct lookups");

consteval std::array<uint8_t, kNarrowEnd> make_narrow() {
    std::array<uint8_t, kNarrowEnd> a{};
    for (uint8_t &b : a) b = '?';
    for (const cp_entry *e = cp_table; e->cp != 0; ++e)
        if (e->cp < kNarrowEnd) a[e->cp] = e->byte;
    return a;
}
consteval std::array<uint8_t, kWideEnd - kWideBase> make_wide() {
    std::array<uint8_t, kWideEnd - kWideBase> a{};
    for (uint8_t &b : a) b = '?';
    for (const cp_entry *e = cp_table; e->cp != 0; ++e)
        if (e->cp >= kWideBase && e->cp < kWideEnd) a[e->cp - kWideBase] = e->byte;
    return a;
}
constexpr std::array<uint8_t, kNarrowEnd> narrow_lookup = make_narrow();
constexpr std::array<uint8_t, kWideEnd - kWideBase> wide_lookup = make_wide();

// The output byte for a character read from a `len`-byte sequence. Each
// length has its own lookup, which holds only the characters that need
// exactly that many bytes, so an overlong form (C0 80 for NUL, E0 83 A9
// for é) finds "?" instead of its character, and no NUL can be planted
// inside the converted text.
constexpr uint8_t mac_byte(uint32_t cp, size_t len) {
    if (len == 2) return narrow_lookup[cp];  // two bytes hold at most U+07FF
    if (len == 3 && cp - kWideBase < kWideEnd - kWideBase) return wide_lookup[cp - kWideBase];
    return '?';
}

// The lookups hold exactly the table: each entry is found, and no other
// cell holds anything but "?".
consteval bool lookups_match_table() {
    size_t entries = 0, found = 0;
    for (const cp_entry *e = cp_table; e->cp != 0; ++e) {
        ++entries;
        if (mac_byte(e->cp, e->cp < 0x800 ? 2 : 3) != e->byte) return false;
    }
    for (uint8_t b : narrow_lookup) found += b != '?';
    for (uint8_t b : wide_lookup) found += b != '?';
    return found == entries;
}
static_assert(lookups_match_table());
static_assert(mac_byte(0x00E9, 2) == 0x8E && mac_byte(0x20AC, 3) == 0xDB);
static_assert(mac_byte(0x00E9, 3) == '?' && mac_byte(0, 2) == '?' && mac_byte(0x20AC, 4) == '?');  // overlong forms

// Reads the character at p, whose first byte is not ASCII, with `avail`
// bytes up to the end of the text. Stores its byte in *out and returns its
// length; returns 0, storing nothing, when no character starts at p or it
// runs past the end. Accented letters take two bytes and typographic signs
// three. Each length is its own branch on the lead byte, which the
// processor predicts well; a length read from a table and then tested
// would put a load before every branch.
inline size_t read_char(const unsigned char *p, size_t avail, unsigned char *out) {
    const size_t used = twr_utf8::sequence_length(p[0]);
    if (used == 2 && avail >= 2) {
        *out = mac_byte(twr_utf8::decode(p, 2), 2);
    } else if (used == 3 && avail >= 3) {
        *out = mac_byte(twr_utf8::decode(p, 3), 3);
    } else if (used == 4 && avail >= 4) {
        *out = mac_byte(twr_utf8::decode(p, 4), 4);
    } else {
        return 0;
    }
    return used;
}

constexpr size_t kMaxSequence = 4;
constexpr size_t kBlock = 16;

#if TWR_SCAN_X86
struct block_result {
    size_t in;   // bytes read: the block and the rest of a character that starts in it
    size_t out;  // bytes stored, one per character
};

// Converts every character that starts in the block at src, whose
// non-ASCII bytes `high` marks, into buf. The ASCII runs between them are
// copied with whole-block stores, so buf must hold 2 * kBlock bytes; bytes
// past the result are left over from those stores. Every position comes
// from the one mask, so a character costs a few register operations, not a
// load and a mask of its own. src must have 2 * kBlock bytes to read.
inline block_result convert_block(const unsigned char *src, unsigned high, unsigned char *buf) {
    using namespace twr_scan;
    size_t p = 0, m = 0;
    for (;;) {
        const unsigned rest = high >> p;
        const size_t ascii = rest == 0 ? kBlock - p : first_marked(rest);
        store16(buf + m, load16(src + p));
        m += ascii;
        p += ascii;
        if (p >= kBlock) return {p, m};
        const size_t used = read_char(src + p, kMaxSequence, buf + m);
        m += used != 0;
        p += used != 0 ? used : 1;  // a byte that starts no character is dropped
        if (p >= kBlock) return {p, m};
    }
}

// The characters a 64-byte block converts at once: every ASCII byte, the
// accented letters and signs after C2 and C3, and the typographic signs
// after E2 80 and E2 82 (dashes, quotes, the ellipsis, the euro). Their
// bytes lie in four pages of 64, one per lead, indexed by the low six bits
// of the character's last byte.
consteval std::array<uint8_t, 256> make_pages() {
    std::array<uint8_t, 256> a{};
    for (size_t k = 0; k < 64; ++k) {
        a[k] = narrow_lookup[0x80 + k];         // C2 80..BF: U+0080..U+00BF
        a[64 + k] = narrow_lookup[0xC0 + k];    // C3 80..BF: U+00C0..U+00FF
        a[128 + k] = wide_lookup[k];            // E2 80 80..BF: U+2000..U+203F
        a[192 + k] = wide_lookup[0x80 + k];     // E2 82 80..BF: U+2080..U+20BF
    }
    return a;
}
alignas(64) constexpr std::array<uint8_t, 256> block_pages = make_pages();
static_assert(block_pages[64 + 0x29] == 0x8E && block_pages[128 + 0x19] == 0xD5 && block_pages[192 + 0x2C] == 0xDB);

// Converts the 64-byte blocks at src[i] on, stopping at the first block
// that holds another character or a malformed sequence, or when fewer than
// 66 bytes of text or 64 bytes of room are left. Each block is classified,
// looked up and packed in vector registers, with no branch per character.
// A character starting in the last two bytes of a block reads its
// continuation bytes from the next one, which then skips them; so every
// block starts 64 bytes after the last, and the loads never wait for the
// block before. Every load comes before the block's one store, which lands
// on bytes already read, so it is right in place.
TWR_AVX512 void convert_blocks64(const unsigned char *src, size_t len, size_t &i, unsigned char *dst, size_t room,
                                 size_t &n) {
    const __m512i page0 = _mm512_load_si512(block_pages.data()), page1 = _mm512_load_si512(block_pages.data() + 64),
                  page2 = _mm512_load_si512(block_pages.data() + 128),
                  page3 = _mm512_load_si512(block_pages.data() + 192);
    const __m512i below_leads = _mm512_set1_epi8(-64);  // 0x80..0xBF are below 0xC0 as signed bytes
    uint64_t carried = 0;  // the bytes at the block's start that a character before it took
    for (; len - i >= 66 && room - n >= 64; i += 64) {
        const __m512i v = twr_scan::load64(src + i);
        const uint64_t high = _mm512_movepi8_mask(v);
        if ((high | carried) == 0) {  // ASCII, and no byte to skip
            _mm512_storeu_si512(dst + n, v);
            n += 64;
            continue;
        }
        const __m512i v1 = twr_scan::load64(src + i + 1), v2 = twr_scan::load64(src + i + 2);
        const uint64_t cont = _mm512_cmplt_epi8_mask(v, below_leads);
        const uint64_t lead2 = _mm512_cmpeq_epi8_mask(_mm512_and_si512(v, _mm512_set1_epi8(static_cast<char>(0xFE))),
                                                      _mm512_set1_epi8(static_cast<char>(0xC2)));
        const uint64_t lead3 =
            _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(0xE2))) &
            _mm512_cmpeq_epi8_mask(_mm512_and_si512(v1, _mm512_set1_epi8(static_cast<char>(0xFD))),
                                   _mm512_set1_epi8(static_cast<char>(0x80)));
        const uint64_t leads = lead2 | lead3;
        // Every byte from 0x80 up is one of these leads or one of their
        // continuation bytes. Like read_char, a lead takes the bytes after
        // it whatever they are; past the block, the next one checks them.
        if ((high & ~(leads | cont)) != 0 || cont != (leads << 1 | lead3 << 2 | carried)) break;
        // The page: the lead's low bit for C2 and C3; 0x80, and bit 1 of
        // the second byte, for E2 80 and E2 82.
        const __m512i two = _mm512_slli_epi16(_mm512_and_si512(v, _mm512_set1_epi8(1)), 6);
        const __m512i three = _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(v1, _mm512_set1_epi8(2)), 5),
                                              _mm512_set1_epi8(static_cast<char>(0x80)));
        const __m512i last = _mm512_mask_blend_epi8(lead3, v1, v2);
        const __m512i key = _mm512_or_si512(_mm512_and_si512(last, _mm512_set1_epi8(0x3F)),
                                            _mm512_mask_blend_epi8(lead3, two, three));
        const __m512i mac = _mm512_mask_blend_epi8(_mm512_movepi8_mask(key),  // bit 7: the pages of E2
                                                   _mm512_permutex2var_epi8(page0, key, page1),
                                                   _mm512_permutex2var_epi8(page2, key, page3));
        const uint64_t keep = ~cont;  // one byte out per character
        const __m512i packed = _mm512_maskz_compress_epi8(keep, _mm512_mask_blend_epi8(leads, v, mac));
        const size_t out = static_cast<size_t>(_mm_popcnt_u64(keep));
        _mm512_mask_storeu_epi8(dst + n, out == 64 ? ~uint64_t{0} : (uint64_t{1} << out) - 1, packed);
        n += out;
        carried = leads >> 63 | lead3 >> 62;  // bit k: byte 64 + k
    }
    i += (carried & 1) + (carried >> 1);  // to the next character's start
}
#endif

// Converts from src[i] and dst[n] on, character by character, with ASCII
// runs moved by the scan helpers; stops at len or when room is full.
inline size_t convert_rest(twr_scan::path via, const unsigned char *src, size_t len, size_t i, unsigned char *dst,
                           size_t room, size_t n) {
    using namespace twr_scan;
    while (i < len && n < room) {
        if (src[i] < 0x80) {
            const size_t run = copy_run<high_bytes>(via, dst + n, src + i, std::min(len - i, room - n));
            i += run;
            n += run;
            continue;
        }
        const size_t used = read_char(src + i, len - i, dst + n);
        n += used != 0;
        i += used != 0 ? used : 1;  // a byte that starts no character is dropped without a "?"
    }
    return n;
}

// Copies the ASCII text at src to dst up to its first NUL or non-ASCII
// byte, at most `room` bytes, and returns the bytes copied. The text is
// measured a chunk at a time with memchr, which stops reading at the NUL it
// finds, and the chunk is then copied with its end known, while it is still
// in the cache: nothing past the text is read.
constexpr size_t kChunk = 8192;

inline size_t ascii_prefix(twr_scan::path via, unsigned char *dst, const unsigned char *src, size_t room) {
    size_t k = 0;
    while (k < room) {
        const size_t want = std::min(kChunk, room - k);
        const auto *nul = static_cast<const unsigned char *>(std::memchr(src + k, 0, want));
        const size_t text = nul != nullptr ? static_cast<size_t>(nul - (src + k)) : want;
        const size_t run = twr_scan::copy_run<twr_scan::high_bytes>(via, dst + k, src + k, text);
        k += run;
        if (run < want) break;  // the NUL, or a byte that is not ASCII
    }
    return k;
}

}  // namespace

namespace twr_scan {
namespace {
path best_path() noexcept {
#if TWR_SCAN_X86
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"))
        return path::avx512;
    return __builtin_cpu_supports("avx2") ? path::avx2 : path::sse2;
#else
    return path::portable;
#endif
}
// -1: none forced. Relaxed is enough: a test forces a path between calls.
std::atomic<int> s_forced{-1};
}  // namespace

path active_path() noexcept {
    static const path best = best_path();
    const int forced = s_forced.load(std::memory_order_relaxed);
    return forced < 0 ? best : static_cast<path>(forced);
}

path force_path(path p) noexcept {
    const path before = active_path();
    const bool have = p == path::portable || (TWR_SCAN_X86 && p <= best_path());
    s_forced.store(static_cast<int>(have ? p : best_path()), std::memory_order_relaxed);
    return before;
}
}  // namespace twr_scan

size_t utf8_to_macroman(const char *in, char *out, size_t out_size) {
    using namespace twr_scan;
    if (in == nullptr || out == nullptr || out_size == 0) return 0;
    const auto *src = reinterpret_cast<const unsigned char *>(in);
    auto *dst = reinterpret_cast<unsigned char *>(out);
    const size_t room = out_size - 1;
    const path via = active_path();
    size_t i = ascii_prefix(via, dst, src, room), n = i;
    const size_t len = i + std::strlen(in + i);
    // n never passes i (one byte out per character in), which is what makes
    // conversion in place safe: every store lands on input already read.
#if TWR_SCAN_X86
    while (via != path::portable && len - i >= 2 * kBlock && room - n >= kBlock) {
        if (via == path::avx512) {
            const size_t before = i;
            convert_blocks64(src, len, i, dst, room, n);
            if (i != before) continue;
        }
        const unsigned high = mask16(load16(src + i));
        if (high == 0) {  // plain ASCII, copied in blocks up to the next other byte
            const size_t run = copy_run<high_bytes>(via, dst + n, src + i, std::min(len - i, room - n));
            i += run;
            n += run;
            continue;
        }
        // Converted aside, then stored exactly: a whole-block store could
        // leave bytes behind the final NUL.
        unsigned char buf[2 * kBlock];
        const block_result r = convert_block(src + i, high, buf);
        if (r.out == kBlock) {
            store16(dst + n, load16(buf));
        } else {
            copy_short(dst + n, buf, r.out);
        }
        i += r.in;
        n += r.out;
    }
#endif
    n = convert_rest(via, src, len, i, dst, room, n);
    dst[n] = '\0';
    return n;
}
