// The three text passes and the message pipeline on arbitrary bytes and
// buffer sizes. Properties:
// the output is terminated within the buffer, nothing is written past the
// terminator, results stay within capacity - 1 where the contract says so,
// and a cut markdown result is the prefix of the full one with the same
// returned length.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "relay/emoji.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/message_text.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

constexpr char kGuard = '\x5A';

// Checks a result written into out[0..out_size) whose bytes past the
// terminator must still hold the guard.
void require_terminated_and_guarded(const std::vector<char> &out, size_t out_size, size_t n) {
    require(n < out_size);
    require(out[n] == '\0');
    for (size_t k = n + 1; k < out.size(); ++k) require(out[k] == kGuard);
}

void check_macroman(const std::vector<char> &text, size_t out_size) {
    std::vector<char> out(out_size + 8, kGuard);
    const size_t n = utf8_to_macroman(text.data(), out.data(), out_size);
    if (out_size == 0) {
        require(n == 0 && out[0] == kGuard);
        return;
    }
    require_terminated_and_guarded(out, out_size, n);
    // One output byte per character and never a NUL inside the text.
    require(std::strlen(out.data()) == n);
}

void check_emoji(const std::vector<char> &text, size_t len, size_t out_size) {
    std::vector<char> out(out_size + 8, kGuard);
    const size_t n = tw_strip_emoji(text.data(), len, out.data(), out_size);
    if (out_size == 0) {
        require(n == 0 && out[0] == kGuard);
        return;
    }
    require_terminated_and_guarded(out, out_size, n);
    require(std::strlen(out.data()) == n);  // NUL is never copied
}

void check_markdown(const std::vector<char> &text, size_t len, size_t buf_size) {
    // The reference: the same text in a buffer large enough for any output
    // (the longest expansion is a list item: 2 input bytes become 4).
    const size_t big_size = 2 * len + 16;
    std::vector<char> big(big_size, kGuard);
    std::copy(text.begin(), text.end(), big.begin());
    const size_t full = tw_format_markdown(big.data(), len, big_size);
    if (len == 0) {
        require(full == 0 && big[0] == kGuard);
        return;
    }
    require(full < big_size && big[full] == '\0');

    if (buf_size < len) {
        // A text longer than the stated buffer is a bad argument: result 0,
        // nothing touched.
        std::vector<char> copy(text.begin(), text.begin() + long(len));
        require(tw_format_markdown(copy.data(), len, buf_size) == 0);
        require(std::memcmp(copy.data(), text.data(), len) == 0);
        return;
    }
    std::vector<char> buf(buf_size + 8, kGuard);
    std::copy(text.begin(), text.end(), buf.begin());
    const size_t n = tw_format_markdown(buf.data(), len, buf_size);
    if (buf_size < 2) {
        require(n == 0);
        require(std::memcmp(buf.data(), text.data(), len) == 0);
        return;
    }
    require(n == full);
    const size_t stored = n < buf_size ? n : buf_size - 1;
    require(buf[stored] == '\0');
    require(std::memcmp(buf.data(), big.data(), stored) == 0);
    // Past the terminator: the caller's bytes (the input, then the guard) stay.
    for (size_t k = stored + 1; k < buf.size(); ++k) require(buf[k] == (k < len ? text[k] : kGuard));
}

// The whole pipeline: the full length whatever the buffer, the stored text
// the prefix of the full one, nothing past the terminator.
void check_text_for_mac(const std::vector<char> &text, size_t len, size_t out_size) {
    std::vector<char> full(4 * len + 16, kGuard);
    const size_t n_full = tw_text_for_mac(text.data(), len, full.data(), full.size());
    require(n_full < full.size() && full[n_full] == '\0');
    std::vector<char> out(out_size + 8, kGuard);
    const size_t n = tw_text_for_mac(text.data(), len, out.data(), out_size);
    if (out_size == 0) {
        require(n == 0 && out[0] == kGuard);
        return;
    }
    require(n == n_full);
    const size_t stored = n < out_size ? n : out_size - 1;
    require_terminated_and_guarded(out, out_size, stored);
    require(std::memcmp(out.data(), full.data(), stored) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the output size, so that every cut occurs.
    const size_t out_size = size_t(data[0]) | size_t(data[1] & 0x03) << 8;
    const size_t len = size - 2;
    // Exactly len bytes for the length-taking passes; a NUL-terminated copy
    // (cut at the first NUL) for the MacRoman pass.
    std::vector<char> text(data + 2, data + size);
    std::vector<char> c_text(text);
    c_text.push_back('\0');

    check_macroman(c_text, out_size);
    check_emoji(text, len, out_size);
    check_markdown(text, len, out_size);
    check_text_for_mac(text, len, out_size);
    return 0;
}
