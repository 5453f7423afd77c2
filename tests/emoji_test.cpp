// Emoji to ASCII tags: every table row, the custom forms that must and must
// not match, the bytes kept for display and the options, as the rows of
// tests/data/emoji_rows.txt. Truncation, the growth bound and the block path
// are properties in fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/emoji.h"
#include "support/test_support.h"

namespace {

TEST(EmojiStrip, EveryRowGivesItsOutput) {
    for (const std::vector<std::string> &row : test_support::data_rows("emoji_rows.txt")) {
        const std::string &in = row.at(2);
        std::string out(in.size() * TW_EMOJI_MAX_GROWTH + 1, 'Z');
        const size_t n = tw_strip_emoji_ex(in.data(), in.size(), out.data(), out.size(), unsigned(std::stoul(row.at(1))));
        EXPECT_EQ(out.substr(0, n), row.at(3)) << row[0];
    }
}

}  // namespace
