/* A chat message prepared for a Mac client, in one call.
 *
 * Upstream message text (UTF-8 with markdown, custom emoji and Unicode emoji)
 * becomes what a client displays: Mac OS Roman text with style bytes and
 * glyph bytes. The three text passes run in the one order in which none
 * undoes another's work:
 *   1. emoji: custom emoji and the table's emoji become tags; other
 *      characters are kept whole for the next pass, while invisible
 *      modifiers (variation selectors, the zero-width joiner, skin tones),
 *      control bytes, style bytes 0x01 to 0x03 sent from upstream and bytes
 *      that start no sequence are removed: a stray continuation byte, 0xF8
 *      to 0xFF, and a lead byte not followed by all the continuation bytes
 *      it announces (only the lead goes);
 *   2. UTF-8 to Mac OS Roman: accented letters and typographic signs become
 *      their byte, every other character "?". So does each sequence that
 *      has the shape of a character without being one: an overlong form
 *      (C0 80), a surrogate (ED A0 80 to ED BF BF) or a value above
 *      U+10FFFF (F4 90 80 80 to F7 BF BF BF). Only an overlong form of an
 *      invisible modifier is removed in step 1, like the modifier itself;
 *   3. markdown: style bytes and the glyph bytes 0xA5 (list bullet) and
 *      0xA6 (quote mark), which the Mac OS Roman pass would have dropped.
 * Run the other way round, the Mac OS Roman pass loses the bullets and quote
 * marks, or the emoji pass loses the accents. The function keeps no state, so
 * it may run in any number of threads at once on distinct buffers. */
#ifndef RELAY_MESSAGE_TEXT_H
#define RELAY_MESSAGE_TEXT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Converts the `len` bytes of message text at `in` (no NUL needed) into
 * `out`, which holds `out_size` bytes counting the terminating NUL. Returns
 * the length of the complete converted text, not counting the NUL, even where
 * it did not fit: a result of `out_size` or more means the stored text was
 * cut to out_size - 1 bytes. The stored text is always terminated, is the
 * start of the complete text (one byte per character, so no character is
 * split), and nothing past the NUL is written.
 * Returns 0 and writes nothing when `out` is NULL or `out_size` is 0. A NULL
 * `in` or `len` 0 gives the empty string and 0. Messages over a few
 * kilobytes take a working buffer of TW_EMOJI_MAX_GROWTH * len + 1 bytes from
 * the heap, freed before returning; when it is not available the result is 0
 * and `out` is the empty string, so that no unconverted text reaches a
 * client. `in` and `out` must not overlap. */
size_t tw_text_for_mac(const char *in, size_t len, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif
