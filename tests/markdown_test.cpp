// Markdown to style bytes: the rules of tests/data/markdown_rows.txt,
// pathological input and the bad arguments. Truncation, the separate-buffer
// form and the block path are properties in fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/markdown.h"
#include "support/test_support.h"

namespace {

// The rows of tests/data/markdown_rows.txt and thousands of markers, each
// formatted in place, with spaces after the text that no rule may read.
TEST(MarkdownRules, EveryRowGivesItsOutput) {
    auto repeat = [](const std::string &unit, int times) { std::string s; while (times-- > 0) s += unit; return s; };
    std::vector<std::vector<std::string>> rows = test_support::data_rows("markdown_rows.txt");
    rows.push_back({"ThousandsOfStarsAreEmptyBoldItalicSpans", std::string(60000, '*'), repeat("\x01\x02\x02\x01", 10000)});
    rows.push_back({"ThousandsOfBarsAfterAnUnclosedSpoiler", "||" + repeat("|x", 20000), "||" + repeat("|x", 20000)});
    rows.push_back({"ThousandsOfItalicsWhosePartnerIsDoubled", repeat(" _a__", 20000), repeat(" _a__", 20000)});
    for (const std::vector<std::string> &row : rows) {
        std::string buf = row.at(1) + std::string(row[1].size() + 1, ' ');
        EXPECT_EQ(buf.substr(0, tw_format_markdown(buf.data(), row[1].size(), buf.size())), row.at(2)) << row[0];
    }
}

// Each call returns 0 and leaves the buffer as it was; with a length greater
// than the buffer, the working copy would read past it.
TEST(Markdown, BadArguments) {
    char buf[6] = "**a**";
    EXPECT_EQ(tw_format_markdown(nullptr, 5, 8), 0u);
    EXPECT_EQ(tw_format_markdown(buf, 0, sizeof buf), 0u);
    EXPECT_EQ(tw_format_markdown(buf, 5, 1), 0u);  // a one-byte buffer
    EXPECT_EQ(tw_format_markdown(buf, sizeof buf + 1, sizeof buf), 0u);
    EXPECT_STREQ(buf, "**a**");
}

}  // namespace
