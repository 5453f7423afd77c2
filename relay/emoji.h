/* Emoji to ASCII tags for the Macintosh clients.
 *
 * The upstream service's custom emoji, written "<:name:digits>" or, animated,
 * "<a:name:digits>", become "(name)"; 37 common Unicode emoji become short
 * tags such as "(fire)", "(heart)" or "(+1)". Every other multi-byte UTF-8
 * character is removed, accented letters included (see the options below
 * for a pass that keeps them). Single bytes are copied when a client can
 * show them: the style bytes 0x01 to 0x03, tab, newline, carriage return,
 * 0x20 to 0x7E, and bytes from 0x80 up, which lets the Mac OS Roman glyph
 * bytes of the markdown pass through; other control bytes are dropped. The
 * functions keep no state and work only in the caller's buffers, so they may
 * run in any number of threads at once on distinct buffers. */
#ifndef RELAY_EMOJI_H
#define RELAY_EMOJI_H

#include <stddef.h>

/* No output is longer than this many times its input: a buffer of
 * TW_EMOJI_MAX_GROWTH * len + 1 bytes always holds the whole result. */
#define TW_EMOJI_MAX_GROWTH 3

/* Options of tw_strip_emoji_ex, combined with "|". */
/* Keeps the multi-byte sequences outside the table whole, for a later Mac
 * OS Roman pass, and removes instead the invisible modifiers that would only
 * turn into "?" there: variation selectors U+FE0E and U+FE0F, the zero-width
 * joiner U+200D and the skin tones U+1F3FB to U+1F3FF. A sequence is kept
 * when its lead byte is followed by all the continuation bytes it announces,
 * whatever value it encodes: overlong forms, surrogates and values above
 * U+10FFFF are kept too, and the Mac OS Roman pass turns each into "?". The
 * modifiers are recognised by their value, so an overlong form of one is
 * removed as well. A byte that starts no sequence (a stray continuation
 * byte, 0xF8 to 0xFF, a lead byte without all its continuation bytes) is
 * dropped; after a lead byte, the bytes that follow it are read on their
 * own. A sequence that does not fit whole ends the output before it. */
#define TW_EMOJI_KEEP_TEXT 0x1u
/* Drops input bytes 0x01 to 0x03 like other control bytes: for text that
 * comes from upstream, where they would switch the client's styles. */
#define TW_EMOJI_DROP_STYLE 0x2u

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the `len` bytes of UTF-8 text at `in` (no NUL needed) into `out`,
 * which holds `out_size` bytes counting the terminating NUL, replacing the
 * emoji as above. Stores at most out_size - 1 bytes and terminates them; a
 * full buffer ends the pass, possibly in the middle of a tag or a name.
 * Returns the number of bytes stored, not counting the NUL. `in` may be NULL
 * and `len` 0: both give result 0, as does a NULL `out` or `out_size` 0;
 * whenever `out` is not NULL and `out_size` is at least 1, `out` is then set
 * to the empty string. `out` must not overlap `in`. Nothing past the
 * terminating NUL is written. */
size_t tw_strip_emoji(const char *in, size_t len, char *out, size_t out_size);

/* tw_strip_emoji with options (TW_EMOJI_* above; 0 gives tw_strip_emoji
 * itself). Unknown option bits are ignored. Same arguments and results. */
size_t tw_strip_emoji_ex(const char *in, size_t len, char *out, size_t out_size, unsigned options);

#ifdef __cplusplus
}
#endif

#endif
