// The snowflake ID mapper beyond the self-check battery: the exact IDs after
// the wrap, the once-per-process warnings, long texts, and a next_id or a
// count out of range. Unique IDs, stable answers, resolving and lookups that
// never issue are properties in fuzz/fuzz_id_mapper.cpp.
#include "relay/id_mapper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

twr_idmap_t g_maps[2];  // about 104 KiB each: kept off the stack

twr_idmap_t *new_map(int k = 0) {
    idmap_init(&g_maps[k]);
    return &g_maps[k];
}

// Run in a child process, as the warnings are once per process; the exit
// status is the number of the first step that went wrong. Markers on
// standard error show which call logged what.
int wrap_then_fill() {
    twr_idmap_t *m = new_map(0), *other = new_map(1);
    if (idmap_get_short(m, "a") != 1) return 1;
    m->next_id = TWR_ID_MAX;
    std::fputs("b\n", stderr);
    if (idmap_get_short(m, "b") != TWR_ID_MAX) return 2;
    std::fputs("c\n", stderr);
    if (idmap_get_short(m, "c") != 2) return 3;  // 1 is still held by "a"
    other->next_id = TWR_ID_MAX;
    if (idmap_get_short(other, "d") != TWR_ID_MAX) return 4;
    for (twr_idmap_t *map : {m, other})  // full tables: one warning between them
        for (int i = 0; i <= TWR_IDMAP_SLOTS; ++i) idmap_get_short(map, std::to_string(i).c_str());
    return 0;
}

TEST(IdMapperDeathTest, IdsStayUniqueAfterTheWrapWhichTheCallIssuingTheLastIdLogsOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(wrap_then_fill()), testing::ExitedWithCode(0),
                "^b\n[0-9:]{8} \\[WARN \\] ID mapper: IDs wrapped around, some lookups may return stale results\nc\n"
                "[0-9:]{8} \\[WARN \\] ID mapper: table full \\(4096 slots\\), some entities may not be visible on Mac\n$");
}

TEST(IdMapper, TextOver23CharactersFindsTheEntryHoldingItsFirst23) {
    twr_idmap_t *m = new_map();
    EXPECT_EQ(idmap_get_short(m, "12345678901234567890123"), 1);
    EXPECT_EQ(idmap_get_short(m, "12345678901234567890123 and a tail"), 1);
    EXPECT_TRUE(idmap_has(m, "12345678901234567890123 and another"));
    EXPECT_EQ(idmap_get_short(m, "1234567890123456789012"), 2);  // one short of the cut
}

TEST(IdMapper, NextIdOutsideOneToIdMaxCountsAsOne) {
    twr_idmap_t *m = new_map();
    m->next_id = 0;
    EXPECT_EQ(idmap_get_short(m, "a"), 1);
    m->next_id = TWR_ID_NONE;
    EXPECT_EQ(idmap_get_short(m, "b"), 2);  // 1 is held
}

TEST(IdMapper, ScansClampACorruptedCountToTheTable) {
    twr_idmap_t *m = new_map();
    idmap_get_short(m, "a");
    m->count = -1;  // read as 0: "b" takes the first slot
    EXPECT_EQ(idmap_get_short(m, "b"), 2);
    EXPECT_EQ(m->count, 1);
    m->count = 1 << 30;  // read as a full table, without a scan past it
    EXPECT_EQ(idmap_get_snowflake(m, 7), nullptr);
    EXPECT_EQ(idmap_get_short(m, "c"), TWR_ID_NONE);
}

}  // namespace
