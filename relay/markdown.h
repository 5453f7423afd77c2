/* Markdown to the styled text of the Macintosh clients.
 *
 * Recognised markers are removed and replaced by single style bytes, which
 * switch a style on and off (the same byte opens and closes a span), or by
 * Mac OS Roman glyph bytes; every other byte is copied unchanged, bytes from
 * 0x80 up included (no character-set conversion happens here). Rules, tried
 * in this order at each position: fenced code block (the language tag after
 * the fence is dropped, trailing newlines, carriage returns and spaces of the
 * content too), inline code, ***bold italic***, **bold**, *italic* and
 * _italic_ (opening only after a space, a newline, a tab or at the start),
 * ~~strikethrough~~ and ||spoiler|| (markers dropped, text kept), "> " and
 * ">>> " quotes and "- " or "* " list items at line start. A marker that is
 * not closed is copied; the text between two markers is copied verbatim.
 * Input bytes 0x01 to 0x03 are copied like any other byte. The function keeps
 * no state, so it may run in any number of threads at once on distinct
 * buffers. */
#ifndef RELAY_MARKDOWN_H
#define RELAY_MARKDOWN_H

#include <stddef.h>

#define TW_CTRL_BOLD 0x01      /* bold on/off */
#define TW_CTRL_ITALIC 0x02    /* italic on/off */
#define TW_CTRL_MONOSPACE 0x03 /* monospace on/off: inline code and code blocks */
#define TW_QUOTE_MARK 0xA6     /* Mac OS Roman pilcrow, then a space, opens a quote line */
#define TW_BULLET_MARK 0xA5    /* Mac OS Roman bullet: a list item is two spaces, it, a space */

#ifdef __cplusplus
extern "C" {
#endif

/* Formats the `len` bytes of message text in `buf` (no NUL needed) in place.
 * `buf_size` is the capacity of `buf` counting the terminating NUL; the text
 * can grow (a list item's two bytes become four). Returns the length of the
 * complete formatted text, not counting the NUL, even where it did not fit:
 * a result of `buf_size` or more means the stored text was cut to
 * buf_size - 1 bytes. The stored text is always terminated and nothing past
 * the NUL is written.
 * Returns 0 and leaves `buf` untouched (no NUL written) when `buf` is NULL,
 * `len` is 0, `buf_size` is below 2, or `len` is greater than `buf_size`.
 * Takes a working copy of the input from the heap and frees it before
 * returning; when that memory is not available, returns `len` and leaves
 * `buf` as it came. */
size_t tw_format_markdown(char *buf, size_t len, size_t buf_size);

/* The same formatting, from the `len` bytes at `in` into the separate
 * buffer `out` of `out_size` bytes, without a working copy (no allocation).
 * Same result and truncation as tw_format_markdown: the complete length is
 * returned, at most out_size - 1 bytes are stored and terminated, nothing
 * past the NUL is written. Returns 0 and writes nothing when `out` is NULL
 * or `out_size` is 0. `len` 0 or a NULL `in` is empty text: `out` is set to
 * the empty string and the result is 0. `in` and `out` must not overlap. */
size_t tw_format_markdown_to(const char *in, size_t len, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif
