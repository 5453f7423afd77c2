// A chat message prepared for a Mac client: messages that mix every feature,
// checked byte for byte, and truncation at every capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "relay/message_text.h"

namespace {

std::string for_mac(const std::string &in, size_t out_size = 0) {
    if (out_size == 0) out_size = in.size() * 3 + 1;
    std::vector<char> out(out_size + 16, 'Z');
    const size_t n = tw_text_for_mac(in.data(), in.size(), out.data(), out_size);
    const size_t stored = std::min(n, out_size - 1);
    EXPECT_EQ(out[stored], '\0');
    EXPECT_EQ(std::count(out.begin() + long(stored) + 1, out.end(), 'Z'), long(out.size() - stored - 1))
        << "written past the NUL";
    EXPECT_EQ(n, stored) << "cut although the buffer should hold it";
    return std::string(out.data(), stored);
}

// The example of docs/message-text.md.
const std::string kExampleIn =
    "**D\xC3\xA9j\xC3\xA0 vu** at the caf\xC3\xA9 <:blobwave:4242>\n"
    "- bring \xF0\x9F\x94\xA5 snacks\n"
    "- \xE4\xB8\xAD is fine\n"
    "> see you \xE2\x9D\xA4\xEF\xB8\x8F \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
const std::string kExampleOut =
    "\x01" "D\x8Ej\x88 vu\x01 at the caf\x8E (blobwave)\n"
    "  \xA5 bring (fire) snacks\n"
    "  \xA5 ? is fine\n"
    "\xA6 see you (heart) (+1)";

TEST(TextForMac, WorkedExample) { EXPECT_EQ(for_mac(kExampleIn), kExampleOut); }

struct Row {
    const char *name;
    std::string in;
    std::string expected;
};

class TextForMac : public testing::TestWithParam<Row> {};

TEST_P(TextForMac, GivesTheExpectedBytes) { EXPECT_EQ(for_mac(GetParam().in), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rows, TextForMac,
    testing::Values(
        Row{"AccentsSurvive", "Gr\xC3\xBC\xC3\x9F" "e, se\xC3\xB1or \xE2\x80\x94 na\xC3\xAFve \xE2\x82\xAC" "5",
            "Gr\x9F\xA7" "e, se\x96or \xD1 na\x95ve \xDB" "5"},
        Row{"BulletsAndQuoteMarksSurvive", "- one\n* two\n> three\n>>> four",
            "  \xA5 one\n  \xA5 two\n\xA6 three\n\xA6 four"},
        Row{"CustomEmojiInsideBold", "**hi <:wave:1>**", "\x01hi (wave)\x01"},
        Row{"AnimatedCustomEmojiInsideItalic", "_so <a:spin:99>_", "\x02so (spin)\x02"},
        Row{"TagsAppearOnce", "\xF0\x9F\x94\xA5\xF0\x9F\x94\xA5 \xE2\x9D\xA4", "(fire)(fire) (heart)"},
        Row{"VariationSelectorsAndSkinTonesVanish",
            "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBB \xE2\x9D\xA4\xEF\xB8\x8F \xE2\x98\xBA\xEF\xB8\x8E "
            "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBF",
            "(+1) (heart) ? (wave)"},
        Row{"JoinedSequenceLeavesOneMarkPerPerson",
            "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", "???"},
        Row{"OutsideBothTablesIsAQuestionMark", "\xE4\xB8\xAD\xE6\x96\x87 ok \xF0\x9F\x98\x80", "?? ok ?"},
        Row{"UpstreamStyleBytesAreDropped", "\x01" "a\x02\x03 **b**", "a \x01" "b\x01"},
        Row{"ControlBytesAreDropped", std::string("a\x07" "b\0c\x7F\td\r\n", 10), "abc\td\r\n"},
        Row{"MalformedBytesAreDropped", "\xC3" "A \x80 \xF8 \xE2\x82", "A   "},
        Row{"OverlongFormIsAQuestionMark", "a\xC0\x80" "b", "a?b"},
        Row{"SurrogatesAndValuesPastU10FFFFAreQuestionMarks", "a\xED\xA0\x80" "b\xF4\x90\x80\x80" "c", "a?b?c"},
        Row{"BulletAndPilcrowCharactersFromUpstream", "\xE2\x80\xA2 \xC2\xB6", "\xA5 \xA6"},
        Row{"CodeSpanKeepsItsMarkers", "`**x**` \xC3\xA9", "\x03**x**\x03 \x8E"},
        Row{"EmojiInsideACodeBlock", "```\n\xF0\x9F\x94\xA5 x\n```", "\x03(fire) x\x03"},
        Row{"UnderscoresInACustomNameStayPlain", "see <:_a_:1> _b_", "see (_a_) \x02" "b\x02"},
        Row{"IncompleteCustomFormPassesThrough", "<:smile:12", "<:smile:12"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// Every opening style byte is closed in the messages above.
TEST(TextForMac, StyleBytesBalance) {
    for (const std::string &msg : {kExampleIn, std::string("***a*** **b** *c* `d` ```\ne\n``` <:x:1>**y**")}) {
        const std::string out = for_mac(msg);
        for (char code : {'\x01', '\x02', '\x03'})
            EXPECT_EQ(std::count(out.begin(), out.end(), code) % 2, 0) << int(code) << " in " << out;
    }
}

// At every capacity: the full length comes back and the stored bytes are
// the start of the full text, never a character cut in two.
TEST(TextForMac, TruncationAtEveryPosition) {
    const std::string in = "**\xC3\xA9t\xC3\xA9** <:x:1> \xE2\x9D\xA4\xEF\xB8\x8F \xE4\xB8\xAD\n- \xC3\xBC" "ber";
    const std::string full = "\x01\x8Et\x8E\x01 (x) (heart) ?\n  \xA5 \x9F" "ber";
    ASSERT_EQ(for_mac(in), full);
    for (size_t size = 1; size <= full.size() + 2; ++size) {
        std::vector<char> out(size + 16, 'Z');
        ASSERT_EQ(tw_text_for_mac(in.data(), in.size(), out.data(), size), full.size()) << size;
        const size_t stored = std::min(full.size(), size - 1);
        EXPECT_EQ(std::string(out.data(), stored), full.substr(0, stored)) << size;
        EXPECT_EQ(out[stored], '\0');
        EXPECT_EQ(std::count(out.begin() + long(stored) + 1, out.end(), 'Z'), long(out.size() - stored - 1));
    }
}

TEST(TextForMac, BadArguments) {
    char out[8] = "keep";
    EXPECT_EQ(tw_text_for_mac("abc", 3, out, 0), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(tw_text_for_mac("abc", 3, nullptr, 8), 0u);
    EXPECT_EQ(tw_text_for_mac(nullptr, 3, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    std::strcpy(out, "keep");
    EXPECT_EQ(tw_text_for_mac("abc", 0, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

// Long enough to need a working buffer from the heap.
TEST(TextForMac, LongMessage) {
    std::string in, expected;
    for (int k = 0; k < 5000; ++k) {
        in += "\xC3\xA9\xF0\x9F\x94\xA5 ";
        expected += "\x8E(fire) ";
    }
    in += "**end**";
    expected += "\x01" "end\x01";
    EXPECT_EQ(for_mac(in), expected);
}

}  // namespace
