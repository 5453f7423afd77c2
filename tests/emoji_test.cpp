// Emoji to ASCII tags: every table row, the custom forms that must and must
// not match, control-byte filtering, truncation, and the options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "relay/emoji.h"
#include "support/test_support.h"

namespace {

using test_support::utf8;

std::string strip(const std::string &in, unsigned options = 0, size_t out_size = 0) {
    if (out_size == 0) out_size = in.size() * TW_EMOJI_MAX_GROWTH + 1;
    std::vector<char> out(out_size + 16, 'Z');
    const size_t n = tw_strip_emoji_ex(in.data(), in.size(), out.data(), out_size, options);
    EXPECT_LT(n, out_size);
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(std::count(out.begin() + long(n) + 1, out.end(), 'Z'), long(out.size() - n - 1))
        << "written past the NUL";
    return std::string(out.data(), n);
}

struct EmojiRow {
    uint32_t cp;
    const char *tag;
};

const EmojiRow kRows[] = {
    {0x1F4AC, "(chat)"},   {0x1F4E2, "(announce)"}, {0x1F4E3, "(megaphone)"}, {0x1F6E0, "(tools)"},
    {0x1F6E1, "(shield)"}, {0x1F4CB, "(clipboard)"}, {0x1F4DD, "(memo)"},     {0x1F4DA, "(books)"},
    {0x1F4CC, "(pin)"},    {0x1F44B, "(wave)"},     {0x1F3AE, "(game)"},      {0x1F3B5, "(music)"},
    {0x1F3A8, "(art)"},    {0x1F4F7, "(camera)"},   {0x1F4F1, "(phone)"},     {0x1F4BB, "(computer)"},
    {0x1F4E7, "(email)"},  {0x1F512, "(lock)"},     {0x1F513, "(unlock)"},    {0x1F527, "(wrench)"},
    {0x1F4A1, "(idea)"},   {0x1F525, "(fire)"},     {0x1F31F, "(star)"},      {0x1F389, "(party)"},
    {0x1F680, "(rocket)"}, {0x1F4B0, "(money)"},    {0x1F3C6, "(trophy)"},    {0x1F916, "(bot)"},
    {0x1F44D, "(+1)"},     {0x1F44E, "(-1)"},       {0x1F4E1, "(signal)"},    {0x2764, "(heart)"},
    {0x2B50, "(star)"},    {0x2705, "(check)"},     {0x274C, "(x)"},          {0x26A0, "(warn)"},
    {0x2139, "(info)"},
};

TEST(EmojiTable, EveryRowAloneGivesItsTag) {
    ASSERT_EQ(std::size(kRows), 37u);
    for (const EmojiRow &row : kRows) EXPECT_EQ(strip(utf8(row.cp)), row.tag) << std::hex << row.cp;
}

// All 37 in a row into a buffer sized by the growth bound: nothing is cut.
TEST(EmojiTable, GrowthBoundHoldsEveryTag) {
    std::string in, expected;
    for (const EmojiRow &row : kRows) {
        in += utf8(row.cp);
        expected += row.tag;
    }
    EXPECT_EQ(strip(in, 0, in.size() * TW_EMOJI_MAX_GROWTH + 1), expected);
    EXPECT_EQ(strip("\xF0\x9F\x93\xA3", 0, 4 * TW_EMOJI_MAX_GROWTH + 1), "(megaphone)");
}

TEST(EmojiTable, NeighboursOfRowsAreRemoved) {
    EXPECT_EQ(strip(utf8(0x1F526) + utf8(0x1F524) + utf8(0x2765) + utf8(0x2B51)), "");
}

struct Row {
    const char *name;
    std::string in;
    std::string expected;
};

class EmojiStrip : public testing::TestWithParam<Row> {};

TEST_P(EmojiStrip, GivesTheExpectedBytes) { EXPECT_EQ(strip(GetParam().in), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rows, EmojiStrip,
    testing::Values(
        Row{"Custom", "<:smile:123456789>", "(smile)"},
        Row{"CustomAnimated", "<a:wave:987654321>", "(wave)"},
        Row{"CustomNamedA", "<:a:1><a:a:2>", "(a)(a)"},
        Row{"CustomInText", "hello <:cool:111> world", "hello (cool) world"},
        Row{"CustomInsideAngleBrackets", "a<<:x:1>>", "a<(x)>"},
        Row{"CustomUnderscoreName", "<:my_cool_emoji:456789>", "(my_cool_emoji)"},
        Row{"UnclosedCustomPassesThrough", "<:name:123", "<:name:123"},
        Row{"HyphenInNameIsNoForm", "<:na-me:1>", "<:na-me:1>"},
        Row{"EmptyNameIsNoForm", "<::1>", "<::1>"},
        Row{"EmptyIdIsNoForm", "<:name:>", "<:name:>"},
        Row{"LetterInIdIsNoForm", "<:name:12a>", "<:name:12a>"},
        Row{"OtherLetterBeforeColonIsNoForm", "<b:name:1> <aa:x:1>", "<b:name:1> <aa:x:1>"},
        Row{"MissingIdIsNoForm", "<a:name>", "<a:name>"},
        Row{"CutOffFormsPassThrough", "<a:x <: <a <", "<a:x <: <a <"},
        Row{"HeartInText", "love \xE2\x9D\xA4 you", "love (heart) you"},
        Row{"HeartWithVariationSelector", "\xE2\x9D\xA4\xEF\xB8\x8F", "(heart)"},
        Row{"ThumbWithSkinTone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "(+1)"},
        Row{"OtherCharactersAreRemoved", "A\xE4\xB8\xAD"
                                         "B caf\xC3\xA9",
            "AB caf"},
        Row{"LeadCutOffAtTheEndKeepsItsContinuation", "A\xF0\x9F", "A\x9F"},
        Row{"LoneLeadAtTheEndIsDropped", "A\xE2", "A"},
        Row{"LeadTakesItsLengthUnchecked", "\xE2" "AB" "C", "C"},
        Row{"MarkdownOutputPassesThrough", "\x01" "b\x01 \x02i\x02 \x03" "c\x03\n\xA6 q\n  \xA5 l",
            "\x01" "b\x01 \x02i\x02 \x03" "c\x03\n\xA6 q\n  \xA5 l"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// Each byte on its own: what a client can show stays, the rest goes. A lead
// byte alone is a sequence cut off by the end of the text.
TEST(Emoji, SingleBytesAreFilteredForDisplay) {
    for (int b = 0; b <= 0xFF; ++b) {
        const bool shown = (b >= 0x01 && b <= 0x03) || b == '\t' || b == '\n' || b == '\r' ||
                           (b >= 0x20 && b <= 0x7E) || (b >= 0x80 && b <= 0xBF) || b >= 0xF8;
        const std::string in(1, char(b));
        EXPECT_EQ(strip(in), shown ? in : "") << "byte " << b;
    }
}

TEST(Emoji, ControlBytesAreDroppedInsideLongText) {
    const char chunk[] = "text\x04\x7F\x1B\x0B\x0C\x00 and\ttabs\r\n";
    std::string in, expected;
    for (int k = 0; k < 40; ++k) {
        in.append(chunk, sizeof chunk - 1);
        expected += "text and\ttabs\r\n";
    }
    in += '\0';
    EXPECT_EQ(strip(in), expected);
}

TEST(Emoji, TruncationCutsTagsAndNames) {
    EXPECT_EQ(strip("<:smile:123456789>", 0, 4), "(sm");
    EXPECT_EQ(strip("\xF0\x9F\x94\xA5\xF0\x9F\x94\xA5", 0, 8), "(fire)(");
    EXPECT_EQ(strip("\xE2\x9D\xA4 after", 0, 3), "(h");
    EXPECT_EQ(strip("<:ab:1>", 0, 4), "(ab");
    EXPECT_EQ(strip("abc", 0, 1), "");
}

// At every capacity the result is the part of the full output that fits.
TEST(Emoji, EveryCapacityStoresAPrefix) {
    const std::string in = "hi <:wave:1> \xF0\x9F\x91\x8B caf\xC3\xA9 \xE2\x9C\x85 done\x7F!";
    const std::string full = "hi (wave) (wave) caf (check) done!";
    ASSERT_EQ(strip(in), full);
    for (size_t size = 1; size <= full.size() + 2; ++size)
        EXPECT_EQ(strip(in, 0, size), full.substr(0, std::min(full.size(), size - 1))) << size;
}

TEST(Emoji, BadArgumentsGiveAnEmptyResult) {
    char out[8] = "keep";
    EXPECT_EQ(tw_strip_emoji("abc", 3, out, 0), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(tw_strip_emoji("abc", 3, nullptr, 8), 0u);
    EXPECT_EQ(tw_strip_emoji("abc", 0, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    std::strcpy(out, "keep");
    EXPECT_EQ(tw_strip_emoji(nullptr, 3, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

// Forms and emoji at every offset around the 16-byte blocks of plain text.
TEST(Emoji, FindsEveryKindAtEveryOffsetOfALongRun) {
    for (size_t before = 0; before < 48; ++before) {
        const std::string lead(before, 'x');
        const std::string tail(20, 'y');
        EXPECT_EQ(strip(lead + "<:a:1>" + tail), lead + "(a)" + tail) << before;
        EXPECT_EQ(strip(lead + "\xF0\x9F\x94\xA5" + tail), lead + "(fire)" + tail) << before;
        EXPECT_EQ(strip(lead + "\x7F\n\x05" + tail), lead + "\n" + tail) << before;
        EXPECT_EQ(strip(lead + "\xC3\xA9" + tail), lead + tail) << before;
    }
}

// ---- Options ---------------------------------------------------------------

class EmojiKeepText : public testing::TestWithParam<Row> {};

TEST_P(EmojiKeepText, GivesTheExpectedBytes) {
    EXPECT_EQ(strip(GetParam().in, TW_EMOJI_KEEP_TEXT), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EmojiKeepText,
    testing::Values(
        Row{"AccentsAndOtherCharactersStay", "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80",
            "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"},
        Row{"TagsAndCustomFormsAreStillReplaced", "\xE2\x9D\xA4 <:x:1> \xF0\x9F\x94\xA5", "(heart) (x) (fire)"},
        Row{"VariationSelectorsVanish", "\xE2\x9D\xA4\xEF\xB8\x8F \xE2\x98\xBA\xEF\xB8\x8E", "(heart) \xE2\x98\xBA"},
        Row{"SkinTonesVanish", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBB\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBF", "(+1)(wave)"},
        Row{"JoinerVanishesBetweenItsParts", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
            "\xF0\x9F\x91\xA8\xF0\x9F\x91\xA9"},
        Row{"NeighboursOfModifiersStay", "\xEF\xB8\x8D\xE2\x80\x8C\xF0\x9F\x8F\xBA",
            "\xEF\xB8\x8D\xE2\x80\x8C\xF0\x9F\x8F\xBA"},
        Row{"LeadWithoutContinuationGoesAlone", "\xC3"
                                                "A \xE2\x82"
                                                "B",
            "A B"},
        Row{"StrayBytesAreDropped", "a\x80\xBF\xF8\xFF"
                                    "b",
            "ab"},
        Row{"CutOffAtTheEndLeavesNothing", "A\xF0\x9F", "A"},
        Row{"StyleBytesStayWithoutTheOtherOption", "\x01" "b\x01", "\x01" "b\x01"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

TEST(EmojiKeepText, NeverStoresHalfACharacter) {
    EXPECT_EQ(strip("ab\xC3\xA9", TW_EMOJI_KEEP_TEXT, 4), "ab");
    EXPECT_EQ(strip("ab\xC3\xA9", TW_EMOJI_KEEP_TEXT, 5), "ab\xC3\xA9");
    EXPECT_EQ(strip("\xE2\x82\xAC", TW_EMOJI_KEEP_TEXT, 3), "");
    EXPECT_EQ(strip("x\xF0\x9F\x98\x80y", TW_EMOJI_KEEP_TEXT, 5), "x");
}

TEST(EmojiOptions, DropStyleRemovesInputStyleBytes) {
    EXPECT_EQ(strip("\x01" "a\x02\x03\t", TW_EMOJI_DROP_STYLE), "a\t");
    EXPECT_EQ(strip("\x01" "a\x02\x03\t", 0), "\x01" "a\x02\x03\t");
    EXPECT_EQ(strip("\x01" "caf\xC3\xA9\x03", TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE), "caf\xC3\xA9");
}

TEST(EmojiOptions, NoOptionsAndUnknownBitsAreThePlainPass) {
    const std::string in = "\x01<:x:1> caf\xC3\xA9 \xE2\x9D\xA4\xEF\xB8\x8F\x80\x7F";
    const std::string expected = "\x01(x) caf (heart)\x80";
    EXPECT_EQ(strip(in, 0), expected);
    EXPECT_EQ(strip(in, 0x80), expected);
}

}  // namespace
