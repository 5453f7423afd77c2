// Markdown to style bytes: the rules in their order and at their boundaries,
// truncation with the full length returned, and the bad arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "relay/markdown.h"

namespace {

// Formats `in` in place in a buffer with room to spare.
std::string format(const std::string &in) {
    std::vector<char> buf(in.size() * 2 + 16, 'Z');
    std::copy(in.begin(), in.end(), buf.begin());
    const size_t n = tw_format_markdown(buf.data(), in.size(), buf.size());
    EXPECT_LT(n, buf.size());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
}

std::string format_to(const std::string &in) {
    std::vector<char> out(in.size() * 2 + 16, 'Z');
    const size_t n = tw_format_markdown_to(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

struct Row {
    const char *name;
    std::string in;
    std::string expected;
};

class MarkdownRules : public testing::TestWithParam<Row> {};

TEST_P(MarkdownRules, FormatInPlace) { EXPECT_EQ(format(GetParam().in), GetParam().expected); }
TEST_P(MarkdownRules, FormatIntoASeparateBuffer) { EXPECT_EQ(format_to(GetParam().in), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rows, MarkdownRules,
    testing::Values(
        Row{"Bold", "**hello**", "\x01hello\x01"},
        Row{"ItalicStar", "*world*", "\x02world\x02"},
        Row{"ItalicUnderscore", "_test_", "\x02test\x02"},
        Row{"InlineCode", "`code`", "\x03" "code\x03"},
        Row{"BoldItalic", "***both***", "\x01\x02" "both\x02\x01"},
        Row{"StrikethroughKeepsOnlyTheText", "~~deleted~~", "deleted"},
        Row{"SpoilerKeepsOnlyTheText", "||spoiler||", "spoiler"},
        Row{"PlainText", "no formatting here", "no formatting here"},
        Row{"UnclosedBoldIsCopied", "**unclosed", "**unclosed"},
        Row{"LoneMarkersAreCopied", "a * _ ` ~ | > -", "a * _ ` ~ | > -"},
        Row{"UnclosedStrikeAndSpoilerAreCopied", "~~a ||b|", "~~a ||b|"},
        // Bold is tried before bold italic can fail over to it.
        Row{"TripleStarClosedByDoubleIsBold", "***a**", "\x01*a\x01"},
        Row{"DoubledFirstPartnerStopsTheItalic", "*a **b*", "*a **b*"},
        Row{"DoubleUnderscoreHasNoRule", "_a __b_", "_a __b_"},
        Row{"StarInsideAWordIsCopied", "a*b*", "a*b*"},
        Row{"UnderscoresInsideAnIdentifierAreCopied", "snake_case_name", "snake_case_name"},
        Row{"TabLeftFlanksAnItalic", "a\t*b*", "a\t\x02" "b\x02"},
        Row{"NewlineLeftFlanksAnItalic", "a\n_b_", "a\n\x02" "b\x02"},
        Row{"InsideOfASpanIsNotFormattedAgain", "**a _b_**", "\x01" "a _b_\x01"},
        Row{"TwoEmptyInlineCodeSpans", "``x``", "\x03\x03x\x03\x03"},
        Row{"CodeBlock", "```\nhello\n```", "\x03hello\x03"},
        Row{"CodeBlockDropsTheLanguageTag", "```python\nprint()\n```", "\x03print()\x03"},
        Row{"FenceLetterFenceIsAnEmptyBlock", "```x```", "\x03\x03"},
        Row{"UnclosedFenceTakesTheRest", "```\ncode", "\x03" "code\x03"},
        Row{"CodeBlockTrimsTrailingCrLfSpaceKeepsLeading", "```\n  code\r\n ```after", "\x03  code\x03" "after"},
        Row{"CodeBlockContentIsVerbatim", "```\n**x** `y`\n```", "\x03**x** `y`\x03"},
        Row{"Quote", "> quote", "\xA6 quote"},
        Row{"TripleQuote", ">>> quote", "\xA6 quote"},
        Row{"QuoteOnALaterLine", "x\n> q", "x\n\xA6 q"},
        Row{"QuoteWithoutSpaceIsCopied", ">quote", ">quote"},
        Row{"TripleQuoteWithoutSpaceIsCopied", ">>>quote", ">>>quote"},
        Row{"QuoteInsideALineIsCopied", "a > b", "a > b"},
        Row{"DashListItem", "- item", "  \xA5 item"},
        Row{"StarListItem", "* item", "  \xA5 item"},
        Row{"ListItemOnALaterLine", "x\n- y", "x\n  \xA5 y"},
        Row{"DashInsideALineIsCopied", "a - b", "a - b"},
        Row{"StarAtLineStartPrefersAnItalic", "* a *b*", "\x02 a \x02" "b*"},
        Row{"StyleAndHighBytesPassThrough", "\x01x\x02\x03 caf\x8E \xA5", "\x01x\x02\x03 caf\x8E \xA5"},
        Row{"MarkersAroundHighBytes", "**\xC3\xA9**", "\x01\xC3\xA9\x01"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

TEST(Markdown, BadArgumentsLeaveTheBufferUntouched) {
    char buf[8] = "**a**";
    EXPECT_EQ(tw_format_markdown(nullptr, 5, 8), 0u);
    EXPECT_EQ(tw_format_markdown(buf, 0, sizeof buf), 0u);
    EXPECT_EQ(tw_format_markdown(buf, 5, 1), 0u);
    EXPECT_EQ(tw_format_markdown(buf, 5, 0), 0u);
    EXPECT_STREQ(buf, "**a**");
}

// The working copy would otherwise read len bytes from a smaller buffer.
TEST(Markdown, LengthBeyondTheBufferIsABadArgument) {
    char buf[6] = "**a**";
    EXPECT_EQ(tw_format_markdown(buf, 7, sizeof buf), 0u);
    EXPECT_STREQ(buf, "**a**");
}

TEST(Markdown, InputFillingTheWholeBufferIsCutForTheNul) {
    char buf[3] = {'a', 'b', 'c'};
    EXPECT_EQ(tw_format_markdown(buf, 3, sizeof buf), 3u);
    EXPECT_STREQ(buf, "ab");
}

TEST(Markdown, ListItemGrowingPastTheBufferReturnsTheFullLength) {
    char buf[4] = {'-', ' ', 'a', 'Z'};
    EXPECT_EQ(tw_format_markdown(buf, 3, sizeof buf), 5u);
    EXPECT_EQ(std::string(buf, 4), std::string("  \xA5\0", 4));
}

// At every capacity: the full length comes back, the stored bytes are the
// start of the full output, and the bytes past the NUL keep what they held.
TEST(Markdown, EveryCapacityStoresAPrefixAndReturnsTheFullLength) {
    const std::string in = "- **bold** item\n> quoted `code`\n* _it_ ~~gone~~ ||hid||\n```c\nx = 1;\n```";
    const std::string full =
        "  \xA5 \x01" "bold\x01 item\n\xA6 quoted \x03" "code\x03\n  \xA5 \x02it\x02 gone hid\n\x03x = 1;\x03";
    ASSERT_EQ(format(in), full);
    for (size_t size = in.size(); size <= full.size() + 2; ++size) {
        std::vector<char> buf(size + 16, 'Z');
        std::copy(in.begin(), in.end(), buf.begin());
        const std::vector<char> before = buf;
        ASSERT_EQ(tw_format_markdown(buf.data(), in.size(), size), full.size()) << size;
        const size_t stored = std::min(full.size(), size - 1);
        EXPECT_EQ(std::string(buf.data(), stored), full.substr(0, stored)) << size;
        EXPECT_EQ(buf[stored], '\0');
        EXPECT_TRUE(std::equal(buf.begin() + long(stored) + 1, buf.end(), before.begin() + long(stored) + 1))
            << size;

        std::vector<char> out(size + 16, 'Z');
        ASSERT_EQ(tw_format_markdown_to(in.data(), in.size(), out.data(), size), full.size());
        EXPECT_EQ(std::string(out.data(), stored), full.substr(0, stored));
        EXPECT_EQ(out[stored], '\0');
        EXPECT_EQ(std::count(out.begin() + long(stored) + 1, out.end(), 'Z'), long(out.size() - stored - 1));
    }
}

TEST(Markdown, SeparateBufferArguments) {
    char out[8] = "keep";
    EXPECT_EQ(tw_format_markdown_to("**a**", 5, nullptr, 8), 0u);
    EXPECT_EQ(tw_format_markdown_to("**a**", 5, out, 0), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(tw_format_markdown_to(nullptr, 5, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    std::strcpy(out, "keep");
    EXPECT_EQ(tw_format_markdown_to("**a**", 0, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(tw_format_markdown_to("**a**", 5, out, 1), 3u);
    EXPECT_STREQ(out, "");
}

// Markers at every offset around the 16-byte blocks that plain text moves in.
TEST(Markdown, FindsMarkersAtEveryOffsetOfALongRun) {
    for (size_t before = 0; before < 48; ++before) {
        const std::string lead(before, 'x');
        const std::string tail(20, 'y');
        EXPECT_EQ(format(lead + "**b**" + tail), lead + "\x01" "b\x01" + tail) << before;
        EXPECT_EQ(format(lead + " _b_" + tail), lead + " \x02" "b\x02" + tail) << before;
        EXPECT_EQ(format(lead + "\n- b" + tail), lead + "\n  \xA5 b" + tail) << before;
        EXPECT_EQ(format(lead + "a_b" + tail), lead + "a_b" + tail) << before;
    }
}

TEST(Markdown, ThousandsOfMarkers) {
    // Each six stars are an empty bold-italic span.
    std::string expected;
    for (int k = 0; k < 10000; ++k) expected += "\x01\x02\x02\x01";
    EXPECT_EQ(format(std::string(60000, '*')), expected);

    // An opening spoiler marker with no partner, then thousands of single bars.
    std::string bars = "||";
    for (int k = 0; k < 20000; ++k) bars += "|x";
    EXPECT_EQ(format(bars), bars);

    // Thousands of left-flanked italic openers, each partnered by a doubled
    // marker, which has no rule of its own: nothing pairs, all is copied.
    std::string unders;
    for (int k = 0; k < 20000; ++k) unders += " _a__";
    EXPECT_EQ(format(unders), unders);
}

}  // namespace
