// The three text passes and the message pipeline on arbitrary bytes, at the
// capacity the first two input bytes choose (0 to 1,023). Properties:
// - every result is terminated within its buffer, nothing past the terminator
//   changes, and a cut result is the start of the full one; Mac OS Roman,
//   markdown and the pipeline keep exactly capacity - 1 bytes, and the last
//   two still return the full length;
// - text behind a run of plain ASCII (for markdown and the pipeline, behind a
//   plain line) comes out as it does alone, whichever of the 16-byte blocks
//   it lands in;
// - Mac OS Roman agrees with a plain one-character-at-a-time conversion, in a
//   separate buffer and in place, and never holds a NUL;
// - markdown gives the same bytes in place as into a separate buffer;
// - emoji output holds no NUL and grows at most TW_EMOJI_MAX_GROWTH times; a
//   cut comes where the buffer is full or, with TW_EMOJI_KEEP_TEXT, before a
//   character that does not fit, never inside one;
// - the pipeline gives what its three passes give one after another, and its
//   style bytes balance (one byte per character, so its cut splits none);
// - no text (a null pointer, whatever the length) gives the empty string;
// - the SSE2, AVX2 and AVX-512 paths, where the processor has them, give every pass's
//   bytes and result exactly as the portable path does, and Mac OS Roman
//   reads nothing past the NUL of a text that ends just before memory that
//   cannot be read.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "relay/emoji.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/message_text.h"
#include "relay/detail/byte_scan.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

constexpr char kGuard = '\x5A';

// A pass: what `in` becomes, written into out[0..cap); returns its result.
using Pass = std::function<size_t(const std::string &in, char *out, size_t cap)>;

// What pass stores from `in` in a buffer of cap bytes followed by guard
// bytes, which must stay; *result gets what it returns.
std::string run(const Pass &pass, const std::string &in, size_t cap, size_t *result = nullptr) {
    std::string out(cap + 8, kGuard);
    const size_t n = pass(in, out.data(), cap), stored = cap == 0 ? 0 : std::min(n, cap - 1);
    if (result != nullptr) *result = n;
    require(cap == 0 ? n == 0 && out[0] == kGuard : out[stored] == '\0');
    require(out.find_first_not_of(kGuard, stored + 1) == std::string::npos);
    return out.substr(0, stored);
}

size_t room(size_t cap) { return cap == 0 ? 0 : cap - 1; }

// The output with room to spare, the output at the capacity chosen, and
// what the pass returned there.
using Result = std::tuple<std::string, std::string, size_t>;

// What every pass does: a cut result is the start of the full one, and text
// behind a run of plain ASCII (and `line`) comes out behind the same bytes,
// whichever of the 16-byte blocks it lands in.
Result check_pass(const Pass &pass, const std::string &in, size_t cap, const std::string &line = "") {
    size_t n = 0;
    const std::string full = run(pass, in, 4 * in.size() + 16), cut = run(pass, in, cap, &n);
    require(full.compare(0, cut.size(), cut) == 0);
    for (size_t k = 1; k <= 16; ++k) {
        const std::string before = std::string(k, 'x') + line;
        require(run(pass, before + in, 4 * (before.size() + in.size()) + 16) == before + full);
    }
    return {full, cut, n};
}

// The passes. Text is handed over in a buffer of exactly its length, so that
// the sanitizers see a read past it.
std::vector<char> exact(const std::string &t) { return std::vector<char>(t.begin(), t.end()); }
size_t mac(const std::string &t, char *out, size_t cap) { return utf8_to_macroman(t.c_str(), out, cap); }
size_t md(const std::string &t, char *out, size_t cap) { return tw_format_markdown_to(exact(t).data(), t.size(), out, cap); }
size_t for_mac(const std::string &t, char *out, size_t cap) { return tw_text_for_mac(exact(t).data(), t.size(), out, cap); }
// Markdown in place, in a buffer of cap bytes holding t; what it stores is
// copied to out.
size_t md_in_place(const std::string &t, char *out, size_t cap) {
    std::string buf = t + std::string(cap - t.size(), kGuard);
    const size_t n = tw_format_markdown(buf.data(), t.size(), cap);
    std::copy_n(buf.begin(), std::min(n + 1, cap), out);
    return n;
}
// The emoji pass as the pipeline runs it.
size_t tag(const std::string &t, char *out, size_t cap) {
    return tw_strip_emoji_ex(exact(t).data(), t.size(), out, cap, TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE);
}

// No text, whatever its length, is the empty string.
size_t no_tags(const std::string &t, char *out, size_t cap) { return tw_strip_emoji(nullptr, t.size(), out, cap); }
size_t no_md(const std::string &t, char *out, size_t cap) { return tw_format_markdown_to(nullptr, t.size(), out, cap); }
size_t no_for_mac(const std::string &t, char *out, size_t cap) { return tw_text_for_mac(nullptr, t.size(), out, cap); }

// The sequence length a lead byte announces; 0 for a byte that cannot lead.
size_t lead_length(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x80 ? 1 : b < 0xC0 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : 0;
}

void check_macroman(const std::string &in, size_t cap) {  // `in` holds no NUL
    const auto [full, cut, n] = check_pass(mac, in, cap);
    // One character at a time: the lead byte gives the length; a byte that
    // cannot lead, or the lead of a character cut off by the end, is dropped
    // and the next byte read on its own.
    std::string plain;
    for (size_t i = 0, k = 0; i < in.size(); i += k)
        if ((k = lead_length(in[i])) == 0 || in.size() - i < k) k = 1;
        else plain += run(mac, in.substr(i, k), k + 1);
    require(full == plain && full.find('\0') == std::string::npos && cut == full.substr(0, room(cap)));
    std::string buf = in + '\0';
    require(utf8_to_macroman(buf.data(), buf.data(), buf.size()) == full.size() && buf.c_str() == full);
}

void check_emoji(const std::string &in, size_t cap) {
    for (unsigned options = 0; options < 4; ++options) {
        const auto [full, cut, n] = check_pass([options](const std::string &t, char *out, size_t size) {
            return tw_strip_emoji_ex(exact(t).data(), t.size(), out, size, options);
        }, in, cap);
        require(full.size() <= TW_EMOJI_MAX_GROWTH * in.size() && full.find('\0') == std::string::npos);
        // Cut where the buffer is full or, keeping text, before a character that does not fit whole,
        // never inside one.
        const bool keep_text = (options & TW_EMOJI_KEEP_TEXT) != 0;
        const size_t left = room(cap) - cut.size(), next = cut == full ? 1 : lead_length(full[cut.size()]);
        require(cut == full || (left == 0 && (!keep_text || next != 0)) || (keep_text && next > left));
    }
}

void check_markdown(const std::string &in, size_t cap) {
    const auto [full, cut, n] = check_pass(md, in, cap, "\n");
    require(cut == full.substr(0, room(cap)) && (cap == 0 || n == full.size()));
    // In place, wherever the buffer holds the text: the same bytes.
    const size_t fit = std::max({cap, in.size(), size_t{2}});
    require(std::get<1>(check_pass(md_in_place, in, fit, "\n")) == run(md, in, fit));
}

void check_text_for_mac(const std::string &in, size_t cap) {
    const auto [full, cut, n] = check_pass(for_mac, in, cap, "\n");
    require(cut == full.substr(0, room(cap)) && (cap == 0 || n == full.size()));
    // The same as the three passes one after another, each with room to spare.
    const std::string tagged = run(tag, in, 4 * in.size() + 16), roman = run(mac, tagged, tagged.size() + 1);
    require(full == run(md, roman, 2 * roman.size() + 16));
    for (char code : {'\x01', '\x02', '\x03'}) require(std::count(full.begin(), full.end(), code) % 2 == 0);
}

// A page followed by one that cannot be read.
unsigned char *page_before_a_guard() {
    static unsigned char *page = [] {
        void *p = mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        require(p != MAP_FAILED && mprotect(static_cast<char *>(p) + 4096, 4096, PROT_NONE) == 0);
        return static_cast<unsigned char *>(p);
    }();
    return page;
}

// Every pass's bytes and result at this capacity, on the active path; Mac
// OS Roman also on the text ending with its NUL at the guarded page.
std::string all_outputs(const std::string &text, size_t cap) {
    std::string all;
    size_t n = 0;
    const auto add = [&](const Pass &pass, const std::string &in) {
        all += run(pass, in, cap, &n) + '|' + std::to_string(n) + '|';
    };
    const std::string c_text = text.substr(0, text.find('\0'));
    add(mac, c_text);
    if (c_text.size() < 4096) {
        char *at = reinterpret_cast<char *>(page_before_a_guard()) + 4096 - c_text.size() - 1;
        std::copy_n(c_text.c_str(), c_text.size() + 1, at);
        add([at](const std::string &, char *out, size_t size) { return utf8_to_macroman(at, out, size); }, c_text);
    }
    for (unsigned options = 0; options < 4; ++options)
        add([options](const std::string &t, char *out, size_t size) {
            return tw_strip_emoji_ex(exact(t).data(), t.size(), out, size, options);
        }, text);
    add(md, text);
    add(for_mac, text);
    const size_t fit = std::max({cap, text.size(), size_t{2}});
    all += run(md_in_place, text, fit) + '|';
    return all;
}

void check_paths(const std::string &text, size_t cap) {
    using twr_scan::path;
    const path best = twr_scan::force_path(path::portable);
    const std::string portable = all_outputs(text, cap);
    for (path p : {path::sse2, path::avx2, path::avx512}) {
        twr_scan::force_path(p);
        if (twr_scan::active_path() == p) require(all_outputs(text, cap) == portable);
    }
    twr_scan::force_path(best);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const size_t cap = size_t(data[0]) | size_t(data[1] & 0x03) << 8;
    const std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
    check_macroman(text.substr(0, text.find('\0')), cap);  // a C string: up to the first NUL
    check_emoji(text, cap);
    check_markdown(text, cap);
    check_text_for_mac(text, cap);
    require(run(no_tags, text, cap).empty() && run(no_md, text, cap).empty() && run(no_for_mac, text, cap).empty());
    check_paths(text, cap);
    return 0;
}
