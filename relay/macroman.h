/* UTF-8 to Mac OS Roman, the 8-bit character set the Macintosh clients show.
 *
 * ASCII passes through unchanged, 80 characters of Mac OS Roman's upper half
 * (accented Latin letters, typographic quotes and dashes, the euro sign at
 * 0xDB, ...) become their byte, and every other character becomes "?". One
 * character in always gives one byte out. A lead byte alone says how many
 * bytes a character takes, whatever those bytes are: C3 41 is one
 * character, "?". Bytes that start no character (a stray continuation
 * byte, 0xF8 to 0xFF, a lead byte cut off by the end of the text) are
 * dropped without a "?". A sequence that encodes no character is "?" as
 * well: an overlong form (C0 80 for NUL, so no NUL can be planted inside the
 * converted text), a surrogate (ED A0 80 to ED BF BF) or a value above
 * U+10FFFF (F4 90 80 80 to F7 BF BF BF). The function keeps no state and
 * works only in the caller's buffer, so it may run in any number of threads
 * at once on distinct buffers. */
#ifndef RELAY_MACROMAN_H
#define RELAY_MACROMAN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Converts the NUL-terminated UTF-8 text `in` into `out`, which holds
 * `out_size` bytes counting the terminating NUL. Stores at most
 * out_size - 1 bytes and always terminates them; a text that does not fit is
 * cut between characters. Returns the number of bytes stored, not counting
 * the NUL. Returns 0 and writes nothing when `in` or `out` is NULL or
 * `out_size` is 0. `out` may be the same pointer as `in` (conversion in
 * place: the output never runs ahead of the input); other overlaps are not
 * allowed. Nothing past the terminating NUL is written. */
size_t utf8_to_macroman(const char *in, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif
