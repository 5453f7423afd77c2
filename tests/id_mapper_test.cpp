// The snowflake ID mapper beyond the self-check battery: unique short IDs
// after the wrap, long texts, lookups that must not issue, the full table and
// the once-per-process warnings.
#include "relay/id_mapper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "relay/log.h"

namespace {

// A record is about 104 KiB: keep them off the stack.
std::unique_ptr<twr_idmap_t> new_map() {
    auto map = std::make_unique<twr_idmap_t>();
    idmap_init(map.get());
    return map;
}

std::string text_of(int i) {
    char text[24];
    std::snprintf(text, sizeof text, "snow-%d", i);
    return text;
}

void fill(twr_idmap_t *map) {
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) idmap_get_short(map, text_of(i).c_str());
}

TEST(IdMapper, ShortIdsStayUniqueAfterTheWrap) {
    auto m = new_map();
    EXPECT_EQ(idmap_get_short(m.get(), "a"), 1);
    m->next_id = TWR_ID_MAX;
    EXPECT_EQ(idmap_get_short(m.get(), "b"), 65534);
    EXPECT_EQ(m->next_id, 1);
    EXPECT_EQ(idmap_get_short(m.get(), "c"), 2);  // 1 is still held by "a"
    EXPECT_EQ(m->next_id, 3);
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 1), "a");
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 2), "c");
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 65534), "b");
}

TEST(IdMapper, IssuingSkipsHeldIdsWhereverTheCounterStarts) {
    auto m = new_map();
    for (const char *t : {"a", "b", "c", "d", "e"}) idmap_get_short(m.get(), t);  // 1..5
    m->next_id = 2;  // a held ID, no wrap involved
    EXPECT_EQ(idmap_get_short(m.get(), "f"), 6);
    EXPECT_EQ(m->next_id, 7);

    m->next_id = 65533;
    EXPECT_EQ(idmap_get_short(m.get(), "g"), 65533);
    EXPECT_EQ(idmap_get_short(m.get(), "h"), 65534);
    m->next_id = 65533;  // 65533, 65534 and then 1..6 are all held
    EXPECT_EQ(idmap_get_short(m.get(), "i"), 7);
    EXPECT_EQ(m->next_id, 8);
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 2), "b");
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 7), "i");
}

// Counter presets scattered through a whole fill: every entry must keep an ID
// of its own that resolves back to its text.
TEST(IdMapper, EveryEntryResolvesToItselfWhateverThePresets) {
    auto m = new_map();
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) {
        if (i % 97 == 0) m->next_id = uint16_t(TWR_ID_MAX - i % 5);
        if (i % 131 == 0) m->next_id = uint16_t(1 + (i * 7919) % 3000);
        ASSERT_NE(idmap_get_short(m.get(), text_of(i).c_str()), TWR_ID_NONE) << i;
    }
    std::set<uint16_t> seen;
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) {
        const std::string text = text_of(i);
        const uint16_t id = idmap_get_short(m.get(), text.c_str());
        ASSERT_GE(id, 1);
        ASSERT_LE(id, TWR_ID_MAX);
        EXPECT_TRUE(seen.insert(id).second) << "ID " << id << " issued twice";
        EXPECT_STREQ(idmap_get_snowflake(m.get(), id), text.c_str());
    }
    EXPECT_EQ(m->count, TWR_IDMAP_SLOTS);
}

TEST(IdMapper, LongTextFindsTheEntryHoldingItsFirst23Characters) {
    auto m = new_map();
    const char *long_text = "123456789012345678901234567890";
    const uint16_t id = idmap_get_short(m.get(), long_text);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(idmap_get_short(m.get(), long_text), id);
    EXPECT_EQ(idmap_get_short(m.get(), "12345678901234567890123"), id);
    EXPECT_EQ(idmap_get_short(m.get(), "12345678901234567890123-other-tail"), id);
    EXPECT_TRUE(idmap_has(m.get(), long_text));
    EXPECT_EQ(m->count, 1);
    // One character short of the cut is a different text.
    EXPECT_EQ(idmap_get_short(m.get(), "1234567890123456789012"), 2);
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 2), "1234567890123456789012");
}

// Fields are compared as padded words: a difference in any byte, or a text
// that is a prefix of another, must still tell the two apart.
TEST(IdMapper, TextsDifferingInOneByteOrLengthGetTheirOwnIds) {
    auto m = new_map();
    const std::string base = "abcdefghijklmnopqrstuvw";  // 23 characters
    std::vector<std::string> texts = {base};
    for (size_t k = 0; k < base.size(); ++k) {
        std::string changed = base;
        changed[k] = char(changed[k] - 32);  // upper case: comparison is case-sensitive
        texts.push_back(changed);
        texts.push_back(base.substr(0, k + 1));  // every prefix
    }
    texts.push_back("1");
    texts.push_back("1\x01");  // a low byte right after the text, where padding is NUL
    texts.push_back("\xff");
    std::set<std::string> distinct(texts.begin(), texts.end());
    std::vector<std::string> unique_texts(distinct.begin(), distinct.end());
    for (size_t i = 0; i < unique_texts.size(); ++i) {
        EXPECT_EQ(idmap_get_short(m.get(), unique_texts[i].c_str()), i + 1) << unique_texts[i];
    }
    for (size_t i = 0; i < unique_texts.size(); ++i) {
        EXPECT_EQ(idmap_get_short(m.get(), unique_texts[i].c_str()), i + 1) << unique_texts[i];
        EXPECT_STREQ(idmap_get_snowflake(m.get(), uint16_t(i + 1)), unique_texts[i].c_str());
    }
    EXPECT_EQ(m->count, int32_t(unique_texts.size()));
}

TEST(IdMapper, HasNeverIssuesOrChangesTheRecord) {
    auto m = new_map();
    idmap_get_short(m.get(), "111");
    idmap_get_short(m.get(), "222");
    auto before = std::make_unique<twr_idmap_t>(*m);
    EXPECT_FALSE(idmap_has(m.get(), "333"));
    EXPECT_FALSE(idmap_has(m.get(), "11"));
    EXPECT_FALSE(idmap_has(m.get(), ""));
    EXPECT_FALSE(idmap_has(m.get(), nullptr));
    EXPECT_TRUE(idmap_has(m.get(), "222"));
    EXPECT_EQ(std::memcmp(before.get(), m.get(), sizeof *m), 0);
    EXPECT_EQ(idmap_get_short(m.get(), "333"), 3);  // still the next ID
}

TEST(IdMapper, OnlyIssuedIdsResolve) {
    auto m = new_map();
    EXPECT_EQ(idmap_get_snowflake(m.get(), 0), nullptr);  // empty slots hold ID 0
    EXPECT_EQ(idmap_get_snowflake(m.get(), 1), nullptr);
    idmap_get_short(m.get(), "111");
    idmap_get_short(m.get(), "222");
    EXPECT_EQ(idmap_get_snowflake(m.get(), 0), nullptr);
    EXPECT_STREQ(idmap_get_snowflake(m.get(), 2), "222");
    EXPECT_EQ(idmap_get_snowflake(m.get(), 3), nullptr);
    EXPECT_EQ(idmap_get_snowflake(m.get(), TWR_ID_MAX), nullptr);
    EXPECT_EQ(idmap_get_snowflake(m.get(), TWR_ID_NONE), nullptr);
}

TEST(IdMapper, FullTableStillAnswersKnownTexts) {
    auto m = new_map();
    fill(m.get());
    ASSERT_EQ(m->count, TWR_IDMAP_SLOTS);
    auto before = std::make_unique<twr_idmap_t>(*m);
    EXPECT_EQ(idmap_get_short(m.get(), "newcomer"), TWR_ID_NONE);
    EXPECT_FALSE(idmap_has(m.get(), "newcomer"));
    EXPECT_EQ(std::memcmp(before.get(), m.get(), sizeof *m), 0);
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) {
        const std::string text = text_of(i);
        ASSERT_EQ(idmap_get_short(m.get(), text.c_str()), i + 1) << text;
        ASSERT_TRUE(idmap_has(m.get(), text.c_str()));
        ASSERT_STREQ(idmap_get_snowflake(m.get(), uint16_t(i + 1)), text.c_str());
    }
    EXPECT_EQ(idmap_get_snowflake(m.get(), 4097), nullptr);
}

// The warnings are once per process, so each scenario runs in a fresh child
// process. The child exits with 0 when it saw what it expected, or with the
// number of the step that went wrong.
struct Warnings {
    std::vector<std::string> messages;
};

void collect(void *ctx, int level, const char *message) {
    if (level == TWR_LOG_WARN) static_cast<Warnings *>(ctx)->messages.push_back(message);
}

const char kWrapText[] = "ID mapper: IDs wrapped around, some lookups may return stale results";
const char kFullText[] = "ID mapper: table full (4096 slots), some entities may not be visible on Mac";

int wrap_scenario() {
    Warnings seen;
    twr_log_init(TWR_LOG_INFO, collect, &seen);
    auto m = new_map();
    m->next_id = TWR_ID_MAX - 1;
    if (idmap_get_short(m.get(), "a") != TWR_ID_MAX - 1 || !seen.messages.empty()) return 1;
    if (idmap_get_short(m.get(), "b") != TWR_ID_MAX || seen.messages.size() != 1) return 2;
    if (seen.messages[0] != kWrapText) return 3;
    if (idmap_get_short(m.get(), "c") != 1) return 4;
    // Again on a cleared map and on another map: silent from now on.
    idmap_clear(m.get());
    m->next_id = TWR_ID_MAX;
    if (idmap_get_short(m.get(), "d") != TWR_ID_MAX) return 5;
    auto other = new_map();
    other->next_id = TWR_ID_MAX;
    if (idmap_get_short(other.get(), "e") != TWR_ID_MAX) return 6;
    return seen.messages.size() == 1 ? 0 : 7;
}

int full_scenario() {
    Warnings seen;
    twr_log_init(TWR_LOG_INFO, collect, &seen);
    auto m = new_map();
    fill(m.get());
    if (!seen.messages.empty()) return 1;
    if (idmap_get_short(m.get(), "refused") != TWR_ID_NONE || seen.messages.size() != 1) return 2;
    if (seen.messages[0] != kFullText) return 3;
    if (idmap_get_short(m.get(), "refused too") != TWR_ID_NONE) return 4;
    idmap_clear(m.get());
    fill(m.get());
    if (idmap_get_short(m.get(), "refused") != TWR_ID_NONE) return 5;
    auto other = new_map();
    fill(other.get());
    if (idmap_get_short(other.get(), "refused") != TWR_ID_NONE) return 6;
    return seen.messages.size() == 1 ? 0 : 7;
}

TEST(IdMapperDeathTest, WrapWarningIsLoggedOncePerProcessByTheCallIssuingTheLastId) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(wrap_scenario()), ::testing::ExitedWithCode(0),
                "\\[WARN \\] ID mapper: IDs wrapped around, some lookups may return stale results\n$");
}

TEST(IdMapperDeathTest, FullTableWarningIsLoggedOncePerProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(full_scenario()), ::testing::ExitedWithCode(0),
                "\\[WARN \\] ID mapper: table full \\(4096 slots\\), some entities may not be visible on Mac\n$");
}

}  // namespace
