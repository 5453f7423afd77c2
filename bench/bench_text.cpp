// The text passes on 64 KiB of chat text, with ICU (UTF-8 to "macintosh"),
// glibc iconv (UTF-8 to "MACINTOSH") and memcpy of the same bytes as
// anchors: read every figure as a ratio to the anchors of the same run.
// Before timing, each converter must give exactly this project's bytes on
// every input, or its rows report an error instead of a time.
//
//   ascii  chat-like ASCII: words, punctuation, line breaks, no markdown
//          markers, no "<" and no emoji
//   mixed  European chat: about 8% of the characters are accented letters
//          or typographic signs from the Mac OS Roman table, with some bold
//          words and list lines (every character is one iconv can convert);
//          the whole-message call runs on it beside the three passes in turn
//   chat   European chat as phones and desktop apps write it: accented
//          words, and typographic punctuation (’ “ ” – — … €, three bytes
//          each) where people type ' " - ... and EUR; about 8% of the
//          characters are not ASCII, two in five of them three-byte ones
#include <benchmark/benchmark.h>
#include <iconv.h>
#if defined(TWRELAY_HAVE_ICU)
#include <unicode/ucnv.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "relay/emoji.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/message_text.h"

namespace {

constexpr size_t kTextSize = 64 * 1024;

const char *const kWords[] = {
    "the",   "relay", "is",     "up",     "again", "did",    "you",    "see",   "new",    "build",  "works",
    "for",   "me",    "on",     "my",     "old",   "Mac",    "Plus",   "now",   "thanks", "everyone", "who",
    "tested", "it",   "last",   "night",  "could", "someone", "check",  "the",   "logs",   "when",   "they",
    "have",  "time",  "I",      "think",  "that",  "channel", "list",   "loads", "faster", "than",   "before",
    "nice",  "work",  "great",  "see",    "soon",  "ok",     "sure",   "maybe", "later",  "today",
};

// Characters of the Mac OS Roman table, as they appear in European chat.
const char *const kTableChars[] = {
    "\xC3\xA9", "\xC3\xA8", "\xC3\xAA", "\xC3\xA0", "\xC3\xA7", "\xC3\xBC", "\xC3\xB6", "\xC3\xA4",
    "\xC3\x9F", "\xC3\xB1", "\xC3\xAD", "\xC3\xB3", "\xC3\xA1", "\xC3\xBA", "\xC3\xB4", "\xC3\xAE",
    "\xC3\x89", "\xC3\x9C", "\xC5\x93", "\xE2\x82\xAC", "\xE2\x80\x94", "\xE2\x80\x9C", "\xE2\x80\x9D",
    "\xE2\x80\x99", "\xE2\x80\xA6", "\xC2\xA9",
};

// Pads with spaces (or cuts between characters) to exactly kTextSize bytes.
std::string to_size(std::string text) {
    size_t cut = kTextSize;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (text.size() > cut) text.resize(cut);
    text.append(kTextSize - text.size(), ' ');
    return text;
}

std::string make_ascii() {
    std::mt19937 rng(7);
    std::string text;
    size_t line = 0;
    while (text.size() < kTextSize) {
        const std::string word = kWords[rng() % std::size(kWords)];
        text += word;
        line += word.size() + 1;
        const unsigned r = rng() % 100;
        if (line > 60 && r < 30) {
            text += r < 10 ? "!\n" : r < 20 ? "?\n" : ".\n";
            line = 0;
        } else {
            text += r < 5 ? ", " : r < 7 ? ". " : " ";
        }
    }
    return to_size(text);
}

std::string make_mixed(double *table_share) {
    std::mt19937 rng(11);
    std::string text;
    size_t chars = 0, table = 0, line = 0;
    while (text.size() < kTextSize) {
        if (line == 0 && rng() % 8 == 0) {
            text += "- ";
            chars += 2;
        }
        const bool bold = rng() % 40 == 0;
        if (bold) text += "**", chars += 2;
        // Replace about one letter in nine by a table character.
        for (const char *p = kWords[rng() % std::size(kWords)]; *p != '\0'; ++p) {
            if (rng() % 9 == 0) {
                text += kTableChars[rng() % std::size(kTableChars)];
                ++table;
            } else {
                text += *p;
            }
            ++chars;
            ++line;
        }
        if (bold) text += "**", chars += 2;
        if (line > 60 && rng() % 3 == 0) {
            text += ".\n";
            chars += 2;
            line = 0;
        } else {
            text += ' ';
            ++chars;
            ++line;
        }
    }
    *table_share = double(table) / double(chars);
    return to_size(text);
}

// Words of French, German, Spanish and English chat; the apostrophes are
// the typographic one, as keyboards on phones and in chat apps put it.
const char *const kChatWords[] = {
    "c\u2019est", "d\u00E9j\u00E0", "tr\u00E8s", "caf\u00E9", "\u00E9t\u00E9", "l\u2019\u00E9quipe", "ou",
    "mais", "pour", "demain", "apr\u00E8s", "j\u2019ai", "vu", "le", "build", "\u00FCber", "f\u00FCr",
    "sch\u00F6n", "gr\u00F6\u00DFer", "M\u00E4rz", "und", "nicht", "jetzt", "ma\u00F1ana", "se\u00F1or",
    "qu\u00E9", "s\u00ED", "est\u00E1", "bien", "it\u2019s", "don\u2019t", "I\u2019m", "the", "relay",
    "works", "on", "my", "old", "Mac", "again", "thanks", "see", "you", "at", "the", "meeting", "and",
    "then", "we", "can", "check", "logs", "later", "today", "na\u00EFve", "pr\u00EAt", "o\u00F9", "voil\u00E0",
    "is", "it", "la", "de", "die", "der", "el", "que", "to", "for", "with", "new", "version", "server",
    "channel", "message", "list", "loads", "faster", "ok", "sure", "time", "et", "ist", "das", "es",
};

std::string make_chat(double *non_ascii_share, double *three_byte_share) {
    std::mt19937 rng(13);
    std::string text;
    while (text.size() < kTextSize) {
        const unsigned words = 4 + rng() % 9;
        const unsigned quoted_from = rng() % 6 == 0 ? rng() % words : words;
        for (unsigned w = 0; w < words; ++w) {
            if (w == quoted_from) text += "\u201C";
            text += kChatWords[rng() % std::size(kChatWords)];
            if (w == quoted_from + 1 || (w == quoted_from && w + 1 == words)) text += "\u201D";
            const unsigned r = rng() % 100;
            text += r < 3 ? " \u2014 " : r < 5 ? ", " : " ";
        }
        const unsigned r = rng() % 100;
        if (r < 8) text += std::to_string(rng() % 90 + 5) + " \u20AC ";
        if (r >= 8 && r < 12) text += std::to_string(rng() % 12 + 1) + "\u2013" + std::to_string(rng() % 12 + 13) + " ";
        text.back() = rng() % 4 == 0 ? '!' : '.';
        if (rng() % 5 == 0) text += "\u2026";
        text += rng() % 3 == 0 ? "\n" : " ";
    }
    text = to_size(text);
    size_t chars = 0, non_ascii = 0, three_byte = 0;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        chars += (b & 0xC0) != 0x80;
        non_ascii += b >= 0xC0;
        three_byte += (b & 0xF0) == 0xE0;
    }
    *non_ascii_share = double(non_ascii) / double(chars);
    *three_byte_share = double(three_byte) / double(chars);
    return text;
}

struct Texts {
    std::string ascii;
    std::string mixed;
    std::string chat;
    double mixed_table_share = 0;
    double chat_non_ascii_share = 0;
    double chat_three_byte_share = 0;
    Texts() {
        ascii = make_ascii();
        mixed = make_mixed(&mixed_table_share);
        chat = make_chat(&chat_non_ascii_share, &chat_three_byte_share);
    }
};

const Texts &texts() {
    static const Texts t;
    return t;
}

constexpr int kAscii = 0;
constexpr int kMixed = 1;
constexpr int kChat = 2;

const std::string &pick(int which) {
    return which == kAscii ? texts().ascii : which == kMixed ? texts().mixed : texts().chat;
}

void finish(benchmark::State &state, const std::string &in) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    if (&in == &texts().mixed) state.counters["table_chars_%"] = texts().mixed_table_share * 100.0;
    if (&in == &texts().chat) {
        state.counters["non_ascii_%"] = texts().chat_non_ascii_share * 100.0;
        state.counters["three_byte_%"] = texts().chat_three_byte_share * 100.0;
    }
}

void BM_Memcpy(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() + 1);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

// This project's Mac OS Roman bytes for an input, the reference for the
// other converters.
std::string project_bytes(const std::string &in) {
    std::string out(in.size() + 1, '\0');
    out.resize(utf8_to_macroman(in.c_str(), out.data(), out.size()));
    return out;
}

void BM_Iconv(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() + 1);
    iconv_t cd = iconv_open("MACINTOSH", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv cannot convert UTF-8 to MACINTOSH");
        return;
    }
    {
        char *src = const_cast<char *>(in.data()), *dst = out.data();
        size_t in_left = in.size(), out_left = out.size();
        if (iconv(cd, &src, &in_left, &dst, &out_left) == size_t(-1) ||
            std::string(out.data(), size_t(dst - out.data())) != project_bytes(in)) {
            iconv_close(cd);
            state.SkipWithError("iconv does not give the project's bytes");
            return;
        }
    }
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char *src = const_cast<char *>(in.data());
        char *dst = out.data();
        size_t in_left = in.size(), out_left = out.size();
        if (iconv(cd, &src, &in_left, &dst, &out_left) == size_t(-1)) {
            state.SkipWithError("iconv refused the text");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    finish(state, in);
}

#if defined(TWRELAY_HAVE_ICU)
// ICU converts through its UTF-16 pivot, which ucnv_convertEx keeps in a
// caller buffer; both converters are opened once, as a relay would.
void BM_Icu(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() + 1);
    std::vector<UChar> pivot(1024);
    UErrorCode err = U_ZERO_ERROR;
    UConverter *from = ucnv_open("UTF-8", &err);
    UConverter *to = ucnv_open("macintosh", &err);
    // Returns the bytes stored, or -1 when ICU reports an error.
    auto convert = [&]() -> long {
        char *dst = out.data();
        const char *src = in.data();
        UChar *pivot_src = pivot.data(), *pivot_dst = pivot.data();
        UErrorCode e = U_ZERO_ERROR;
        ucnv_convertEx(to, from, &dst, out.data() + out.size(), &src, in.data() + in.size(), pivot.data(),
                       &pivot_src, &pivot_dst, pivot.data() + pivot.size(), true, true, &e);
        return U_FAILURE(e) ? -1 : long(dst - out.data());
    };
    if (U_FAILURE(err)) {
        state.SkipWithError("ICU cannot open UTF-8 and macintosh");
    } else if (const long n = convert(); n < 0 || std::string(out.data(), size_t(n)) != project_bytes(in)) {
        state.SkipWithError("ICU does not give the project's bytes");
    } else {
        for (auto _ : state) {
            benchmark::DoNotOptimize(convert());
            benchmark::ClobberMemory();
        }
    }
    ucnv_close(to);
    ucnv_close(from);
    finish(state, in);
}
#endif

void BM_Utf8ToMacroman(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(utf8_to_macroman(in.c_str(), out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

void BM_StripEmoji(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() * TW_EMOJI_MAX_GROWTH + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw_strip_emoji(in.data(), in.size(), out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

// The pass works in place, so each round first restores the message: the
// memcpy anchor gives the cost of that copy.
void BM_FormatMarkdown(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> buf(in.size() * 2 + 1);
    for (auto _ : state) {
        std::memcpy(buf.data(), in.data(), in.size());
        benchmark::DoNotOptimize(tw_format_markdown(buf.data(), in.size(), buf.size()));
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

// The three specified passes one after another, each into its own buffer
// (emoji, then Mac OS Roman, then markdown in place), for comparison.
void BM_ThreePassesInTurn(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> tagged(in.size() * TW_EMOJI_MAX_GROWTH + 1), mac(tagged.size() * 2);
    for (auto _ : state) {
        const size_t t = tw_strip_emoji(in.data(), in.size(), tagged.data(), tagged.size());
        const size_t m = utf8_to_macroman(tagged.data(), mac.data(), t + 1);
        benchmark::DoNotOptimize(tw_format_markdown(mac.data(), m, mac.size()));
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

// The first `size` bytes of the mixed text (marked-up European chat), cut
// between characters.
std::string message_of(size_t size) {
    const std::string &text = texts().mixed;
    while (size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
    return text.substr(0, size);
}

// tw_text_for_mac against the passes it chains, called by hand with a
// working buffer the caller keeps: what the one call costs beyond them,
// its working buffer included.
void BM_OwnPassesByHand(benchmark::State &state) {
    const std::string in = message_of(size_t(state.range(0)));
    std::vector<char> work(in.size() * TW_EMOJI_MAX_GROWTH + 1), out(in.size() * 2 + 1);
    for (auto _ : state) {
        const size_t t = tw_strip_emoji_ex(in.data(), in.size(), work.data(), work.size(),
                                           TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE);
        const size_t m = utf8_to_macroman(work.data(), work.data(), t + 1);
        benchmark::DoNotOptimize(tw_format_markdown_to(work.data(), m, out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void BM_TextForMacMessage(benchmark::State &state) {
    const std::string in = message_of(size_t(state.range(0)));
    std::vector<char> out(in.size() * 2 + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw_text_for_mac(in.data(), in.size(), out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void BM_TextForMac(benchmark::State &state, int which) {
    const std::string &in = pick(which);
    std::vector<char> out(in.size() * 2 + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw_text_for_mac(in.data(), in.size(), out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    finish(state, in);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Memcpy, ascii, kAscii);
BENCHMARK_CAPTURE(BM_Iconv, ascii, kAscii);
#if defined(TWRELAY_HAVE_ICU)
BENCHMARK_CAPTURE(BM_Icu, ascii, kAscii);
BENCHMARK_CAPTURE(BM_Icu, mixed, kMixed);
BENCHMARK_CAPTURE(BM_Icu, chat, kChat);
#endif
BENCHMARK_CAPTURE(BM_Utf8ToMacroman, ascii, kAscii);
BENCHMARK_CAPTURE(BM_StripEmoji, ascii, kAscii);
BENCHMARK_CAPTURE(BM_FormatMarkdown, ascii, kAscii);
BENCHMARK_CAPTURE(BM_Memcpy, mixed, kMixed);
BENCHMARK_CAPTURE(BM_Iconv, mixed, kMixed);
BENCHMARK_CAPTURE(BM_Utf8ToMacroman, mixed, kMixed);
BENCHMARK_CAPTURE(BM_StripEmoji, mixed, kMixed);
BENCHMARK_CAPTURE(BM_FormatMarkdown, mixed, kMixed);
BENCHMARK_CAPTURE(BM_ThreePassesInTurn, mixed, kMixed);
BENCHMARK_CAPTURE(BM_TextForMac, mixed, kMixed);
BENCHMARK_CAPTURE(BM_Memcpy, chat, kChat);
BENCHMARK_CAPTURE(BM_Iconv, chat, kChat);
BENCHMARK_CAPTURE(BM_Utf8ToMacroman, chat, kChat);
BENCHMARK_CAPTURE(BM_StripEmoji, chat, kChat);
BENCHMARK_CAPTURE(BM_TextForMac, chat, kChat);
// A short message, the longest the upstream service sends (2,000
// characters), and 64 KiB.
BENCHMARK(BM_OwnPassesByHand)->Arg(100)->Arg(2000)->Arg(int64_t(kTextSize));
BENCHMARK(BM_TextForMacMessage)->Arg(100)->Arg(2000)->Arg(int64_t(kTextSize));
