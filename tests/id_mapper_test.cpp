// The snowflake ID mapper beyond the self-check battery: the exact IDs after
// the wrap, the once-per-process warnings, and a next_id or a count out of
// range. Unique IDs, stable answers (a long text's by its first 23
// characters), resolving and lookups that never issue are properties in
// fuzz/fuzz_id_mapper.cpp.
#include "relay/id_mapper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

twr_idmap_t g_map, g_other;  // about 104 KiB each: kept off the stack

// Run in a child process, as the warnings are once per process. Each ID goes
// to standard error after whatever its call logged.
void wrap_then_fill() {
    twr_idmap_t *m = &g_map, *other = &g_other;
    idmap_init(m), idmap_init(other);
    const auto issue = [](twr_idmap_t *map, const char *text) { std::fprintf(stderr, "%s=%d\n", text, idmap_get_short(map, text)); };
    issue(m, "a");
    m->next_id = TWR_ID_MAX;
    issue(m, "b");
    issue(m, "c");  // 1 is still held by "a"
    other->next_id = TWR_ID_MAX;
    issue(other, "d");
    for (twr_idmap_t *map : {m, other})  // full tables: one warning between them
        for (int i = 0; i <= TWR_IDMAP_SLOTS; ++i) idmap_get_short(map, std::to_string(i).c_str());
    std::exit(0);
}

TEST(IdMapperDeathTest, IdsStayUniqueAfterTheWrapWhichTheCallIssuingTheLastIdLogsOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(wrap_then_fill(), testing::ExitedWithCode(0),
                "^a=1\n[0-9:]{8} \\[WARN \\] ID mapper: IDs wrapped around, some lookups may return stale results\n"
                "b=65534\nc=2\nd=65534\n"
                "[0-9:]{8} \\[WARN \\] ID mapper: table full \\(4096 slots\\), some entities may not be visible on Mac\n$");
}

// next_id outside 1 to TWR_ID_MAX counts as 1. A count below 0 reads as 0, one
// above the table as a full table, which is not scanned past its end.
TEST(IdMapper, PublicFieldsOutOfRangeAreReadAsInRange) {
    twr_idmap_t *m = &g_map;
    idmap_init(m);
    m->next_id = 0;
    EXPECT_EQ(idmap_get_short(m, "a"), 1);
    m->next_id = TWR_ID_NONE;
    EXPECT_EQ(idmap_get_short(m, "b"), 2);  // 1 is held
    m->count = -1;  // "c" takes the first slot
    EXPECT_EQ(idmap_get_short(m, "c"), 3);
    EXPECT_EQ(m->count, 1);
    m->count = 1 << 30;
    EXPECT_EQ(idmap_get_snowflake(m, 7), nullptr);
    EXPECT_EQ(idmap_get_short(m, "d"), TWR_ID_NONE);
}

}  // namespace
