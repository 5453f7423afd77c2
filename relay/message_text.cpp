#include "relay/message_text.h"

#include <cstdint>
#include <cstdlib>

#include "relay/emoji.h"
#include "relay/macroman.h"
#include "relay/markdown.h"

namespace {

// Most messages fit this working buffer on the stack, sized for the longest
// message the upstream service sends (2,000 characters) in plain ASCII.
constexpr size_t kStackWork = 6 * 1024 + 1;

// Upstream text brings no style bytes of its own: only the markdown pass
// may switch styles, or a stray byte would leave a span open.
constexpr unsigned kEmojiOptions = TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE;

}  // namespace

size_t tw_text_for_mac(const char *in, size_t len, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0) return 0;
    out[0] = '\0';
    if (in == nullptr || len == 0) return 0;
    if (len > (SIZE_MAX - 1) / TW_EMOJI_MAX_GROWTH) return 0;

    // Sized by the emoji pass's growth bound, so its output is never cut and
    // the markdown pass sees the whole message: a cut text could leave a
    // span unclosed that the whole one closes.
    const size_t work_size = len * TW_EMOJI_MAX_GROWTH + 1;
    char stack_work[kStackWork];
    char *work = work_size <= sizeof stack_work ? stack_work : static_cast<char *>(std::malloc(work_size));
    if (work == nullptr) return 0;

    // The emoji pass leaves no NUL inside the text and only whole
    // characters, and the Mac OS Roman pass may run in place.
    const size_t tagged = tw_strip_emoji_ex(in, len, work, work_size, kEmojiOptions);
    const size_t mac = utf8_to_macroman(work, work, tagged + 1);
    const size_t n = tw_format_markdown_to(work, mac, out, out_size);

    if (work != stack_work) std::free(work);
    return n;
}
