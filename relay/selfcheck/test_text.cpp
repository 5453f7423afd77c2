// The text suites: "MacRoman" (UTF-8 to Mac OS Roman), "Markdown" (markdown
// to style bytes) and "Emoji" (emoji to ASCII tags), one runner, three groups.
#include <cstddef>
#include <cstring>

#include "relay/emoji.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/selfcheck/selfcheck.h"

namespace {

// ---- MacRoman ----------------------------------------------------------

void test_macroman_ascii(void) {
    char out[64];
    size_t n = utf8_to_macroman("Hello World", out, sizeof out);
    ASSERT_EQ(n, 11);
    ASSERT_STR_EQ(out, "Hello World");
}

void test_macroman_empty(void) {
    char out[16];
    size_t n = utf8_to_macroman("", out, sizeof out);
    ASSERT_EQ(n, 0);
    ASSERT_STR_EQ(out, "");
}

void test_macroman_null_input(void) {
    char out[16];
    size_t n = utf8_to_macroman(NULL, out, sizeof out);
    ASSERT_EQ(n, 0);
}

void test_macroman_e_acute(void) {
    char out[16];
    size_t n = utf8_to_macroman("caf\xC3\xA9", out, sizeof out);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(out[0], 'c');
    ASSERT_EQ(out[1], 'a');
    ASSERT_EQ(out[2], 'f');
    ASSERT_EQ((unsigned char)out[3], 0x8E);
}

void test_macroman_a_umlaut(void) {
    char out[16];
    utf8_to_macroman("\xC3\xA4", out, sizeof out);
    ASSERT_EQ((unsigned char)out[0], 0x8A);
}

void test_macroman_copyright(void) {
    char out[16];
    utf8_to_macroman("\xC2\xA9", out, sizeof out);
    ASSERT_EQ((unsigned char)out[0], 0xA9);
}

void test_macroman_euro(void) {
    char out[16];
    utf8_to_macroman("\xE2\x82\xAC", out, sizeof out);
    ASSERT_EQ((unsigned char)out[0], 0xDB);
}

void test_macroman_unknown_becomes_question(void) {
    char out[16];
    utf8_to_macroman("\xE4\xB8\xAD", out, sizeof out);
    ASSERT_EQ(out[0], '?');
}

void test_macroman_mixed(void) {
    char out[16];
    size_t n = utf8_to_macroman("A\xC3\xA9\xE4\xB8\xAD"
                                "B",
                                out, sizeof out);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(out[0], 'A');
    ASSERT_EQ((unsigned char)out[1], 0x8E);
    ASSERT_EQ(out[2], '?');
    ASSERT_EQ(out[3], 'B');
}

void test_macroman_output_truncation(void) {
    char out[4];
    size_t n = utf8_to_macroman("Hello", out, sizeof out);
    ASSERT_EQ(n, 3);
    ASSERT_STR_EQ(out, "Hel");
}

void test_macroman_em_dash(void) {
    char out[16];
    utf8_to_macroman("\xE2\x80\x94", out, sizeof out);
    ASSERT_EQ((unsigned char)out[0], 0xD1);
}

void test_macroman_ellipsis(void) {
    char out[16];
    utf8_to_macroman("\xE2\x80\xA6", out, sizeof out);
    ASSERT_EQ((unsigned char)out[0], 0xC9);
}

// ---- Markdown ----------------------------------------------------------

// Copies the literal into buf (cut to size - 1 bytes), terminates it and
// formats it in place.
void format_md(const char *literal, char *buf, size_t size) {
    size_t len = std::strlen(literal);
    if (len >= size) len = size - 1;
    std::memcpy(buf, literal, len);
    buf[len] = '\0';
    tw_format_markdown(buf, len, size);
}

void test_markdown_bold(void) {
    char buf[128];
    format_md("**hello**", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_BOLD);
    ASSERT_TRUE(memcmp(buf + 1, "hello", 5) == 0);
    ASSERT_EQ((unsigned char)buf[6], TW_CTRL_BOLD);
}

void test_markdown_italic_star(void) {
    char buf[128];
    format_md("*world*", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_ITALIC);
    ASSERT_TRUE(memcmp(buf + 1, "world", 5) == 0);
    ASSERT_EQ((unsigned char)buf[6], TW_CTRL_ITALIC);
}

void test_markdown_italic_underscore(void) {
    char buf[128];
    format_md("_test_", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_ITALIC);
    ASSERT_TRUE(memcmp(buf + 1, "test", 4) == 0);
    ASSERT_EQ((unsigned char)buf[5], TW_CTRL_ITALIC);
}

void test_markdown_inline_code(void) {
    char buf[128];
    format_md("`code`", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_MONOSPACE);
    ASSERT_TRUE(memcmp(buf + 1, "code", 4) == 0);
    ASSERT_EQ((unsigned char)buf[5], TW_CTRL_MONOSPACE);
}

void test_markdown_code_block(void) {
    char buf[128];
    format_md("```\nhello\n```", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_MONOSPACE);
    ASSERT_TRUE(memcmp(buf + 1, "hello", 5) == 0);
    ASSERT_EQ((unsigned char)buf[6], TW_CTRL_MONOSPACE);
}

void test_markdown_code_block_with_lang(void) {
    char buf[128];
    format_md("```python\nprint()\n```", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_MONOSPACE);
    ASSERT_TRUE(memcmp(buf + 1, "print()", 7) == 0);
    ASSERT_EQ((unsigned char)buf[8], TW_CTRL_MONOSPACE);
}

void test_markdown_strikethrough(void) {
    char buf[128];
    format_md("~~deleted~~", buf, sizeof buf);
    ASSERT_STR_EQ(buf, "deleted");
}

void test_markdown_spoiler(void) {
    char buf[128];
    format_md("||spoiler||", buf, sizeof buf);
    ASSERT_STR_EQ(buf, "spoiler");
}

void test_markdown_bold_italic(void) {
    char buf[128];
    format_md("***both***", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], TW_CTRL_BOLD);
    ASSERT_EQ((unsigned char)buf[1], TW_CTRL_ITALIC);
    ASSERT_TRUE(memcmp(buf + 2, "both", 4) == 0);
    ASSERT_EQ((unsigned char)buf[6], TW_CTRL_ITALIC);
    ASSERT_EQ((unsigned char)buf[7], TW_CTRL_BOLD);
}

void test_markdown_plain_text(void) {
    char buf[128];
    format_md("no formatting here", buf, sizeof buf);
    ASSERT_STR_EQ(buf, "no formatting here");
}

void test_markdown_unclosed_bold(void) {
    char buf[128];
    format_md("**unclosed", buf, sizeof buf);
    ASSERT_STR_EQ(buf, "**unclosed");
}

void test_markdown_blockquote(void) {
    char buf[128];
    format_md("> quote", buf, sizeof buf);
    ASSERT_EQ((unsigned char)buf[0], 0xA6);
    ASSERT_EQ(buf[1], ' ');
    ASSERT_TRUE(memcmp(buf + 2, "quote", 5) == 0);
}

// ---- Emoji -------------------------------------------------------------

void test_emoji_custom_basic(void) {
    const char *in = "<:smile:123456789>";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(smile)");
}

void test_emoji_custom_animated(void) {
    const char *in = "<a:wave:987654321>";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(wave)");
}

void test_emoji_custom_with_text(void) {
    const char *in = "hello <:cool:111> world";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "hello (cool) world");
}

void test_emoji_unicode_heart(void) {
    const char *in = "love \xE2\x9D\xA4 you";  // U+2764, no variation selector
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "love (heart) you");
}

void test_emoji_unicode_fire(void) {
    const char *in = "\xF0\x9F\x94\xA5";  // U+1F525
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(fire)");
}

void test_emoji_unicode_thumbsup(void) {
    const char *in = "\xF0\x9F\x91\x8D";  // U+1F44D
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(+1)");
}

void test_emoji_ascii_passthrough(void) {
    const char *in = "plain text 123!";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_STR_EQ(out, "plain text 123!");
    ASSERT_EQ(n, strlen(in));
}

void test_emoji_unknown_unicode_stripped(void) {
    const char *in = "A\xE4\xB8\xAD"
                     "B";  // U+4E2D between two letters
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_STR_EQ(out, "AB");
    ASSERT_EQ(n, 2);
}

void test_emoji_empty_input(void) {
    char out[16];
    size_t n = tw_strip_emoji("", 0, out, sizeof out);
    ASSERT_EQ(n, 0);
    ASSERT_STR_EQ(out, "");
}

void test_emoji_null_input(void) {
    char out[16];
    out[0] = 'X';
    size_t n = tw_strip_emoji(NULL, 0, out, sizeof out);
    ASSERT_EQ(n, 0);
    ASSERT_STR_EQ(out, "");
}

void test_emoji_multiple_custom(void) {
    const char *in = "<:a:1><:b:2>";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(a)(b)");
}

void test_emoji_invalid_custom_passthrough(void) {
    const char *in = "<:name:123";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_STR_EQ(out, "<:name:123");
    ASSERT_EQ(n, 10);
}

void test_emoji_custom_underscore_name(void) {
    const char *in = "<:my_cool_emoji:456789>";
    char out[128];
    size_t n = tw_strip_emoji(in, strlen(in), out, sizeof out);
    ASSERT_TRUE(n > 0);
    ASSERT_STR_EQ(out, "(my_cool_emoji)");
}

}  // namespace

void run_text_tests(void) {
    selfcheck::suite_title("MacRoman");
    RUN_CASE(test_macroman_ascii);
    RUN_CASE(test_macroman_empty);
    RUN_CASE(test_macroman_null_input);
    RUN_CASE(test_macroman_e_acute);
    RUN_CASE(test_macroman_a_umlaut);
    RUN_CASE(test_macroman_copyright);
    RUN_CASE(test_macroman_euro);
    RUN_CASE(test_macroman_unknown_becomes_question);
    RUN_CASE(test_macroman_mixed);
    RUN_CASE(test_macroman_output_truncation);
    RUN_CASE(test_macroman_em_dash);
    RUN_CASE(test_macroman_ellipsis);

    selfcheck::suite_title("Markdown");
    RUN_CASE(test_markdown_bold);
    RUN_CASE(test_markdown_italic_star);
    RUN_CASE(test_markdown_italic_underscore);
    RUN_CASE(test_markdown_inline_code);
    RUN_CASE(test_markdown_code_block);
    RUN_CASE(test_markdown_code_block_with_lang);
    RUN_CASE(test_markdown_strikethrough);
    RUN_CASE(test_markdown_spoiler);
    RUN_CASE(test_markdown_bold_italic);
    RUN_CASE(test_markdown_plain_text);
    RUN_CASE(test_markdown_unclosed_bold);
    RUN_CASE(test_markdown_blockquote);

    selfcheck::suite_title("Emoji");
    RUN_CASE(test_emoji_custom_basic);
    RUN_CASE(test_emoji_custom_animated);
    RUN_CASE(test_emoji_custom_with_text);
    RUN_CASE(test_emoji_unicode_heart);
    RUN_CASE(test_emoji_unicode_fire);
    RUN_CASE(test_emoji_unicode_thumbsup);
    RUN_CASE(test_emoji_ascii_passthrough);
    RUN_CASE(test_emoji_unknown_unicode_stripped);
    RUN_CASE(test_emoji_empty_input);
    RUN_CASE(test_emoji_null_input);
    RUN_CASE(test_emoji_multiple_custom);
    RUN_CASE(test_emoji_invalid_custom_passthrough);
    RUN_CASE(test_emoji_custom_underscore_name);
}
