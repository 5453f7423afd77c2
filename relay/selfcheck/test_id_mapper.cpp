// The "ID Mapper" suite: issuing, resolving and forgetting short IDs, the
// full table and the wrap of the ID counter.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/id_mapper.h"
#include "relay/selfcheck/selfcheck.h"

namespace {

void test_idmap_init(void) {
    twr_idmap_t m;
    idmap_init(&m);
    ASSERT_EQ(m.count, 0);
    ASSERT_EQ(m.next_id, 1);
}

void test_idmap_get_short_basic(void) {
    twr_idmap_t m;
    idmap_init(&m);
    uint16_t id = idmap_get_short(&m, "123456789012345678");
    ASSERT_EQ(id, 1);
    ASSERT_EQ(m.count, 1);
}

void test_idmap_get_short_same_snowflake(void) {
    twr_idmap_t m;
    idmap_init(&m);
    uint16_t id1 = idmap_get_short(&m, "123456789012345678");
    uint16_t id2 = idmap_get_short(&m, "123456789012345678");
    ASSERT_EQ(id1, id2);
    ASSERT_EQ(m.count, 1);
}

void test_idmap_get_short_different_snowflakes(void) {
    twr_idmap_t m;
    idmap_init(&m);
    uint16_t id1 = idmap_get_short(&m, "111111111111111111");
    uint16_t id2 = idmap_get_short(&m, "222222222222222222");
    uint16_t id3 = idmap_get_short(&m, "333333333333333333");
    ASSERT_EQ(id1, 1);
    ASSERT_EQ(id2, 2);
    ASSERT_EQ(id3, 3);
    ASSERT_EQ(m.count, 3);
}

void test_idmap_get_short_null(void) {
    twr_idmap_t m;
    idmap_init(&m);
    ASSERT_EQ(idmap_get_short(&m, NULL), TWR_ID_NONE);
    ASSERT_EQ(idmap_get_short(&m, ""), TWR_ID_NONE);
}

void test_idmap_get_snowflake(void) {
    twr_idmap_t m;
    idmap_init(&m);
    uint16_t id = idmap_get_short(&m, "987654321098765432");
    const char *sf = idmap_get_snowflake(&m, id);
    ASSERT_NOT_NULL(sf);
    ASSERT_STR_EQ(sf, "987654321098765432");
}

void test_idmap_get_snowflake_none(void) {
    twr_idmap_t m;
    idmap_init(&m);
    ASSERT_NULL(idmap_get_snowflake(&m, TWR_ID_NONE));
}

void test_idmap_get_snowflake_unknown(void) {
    twr_idmap_t m;
    idmap_init(&m);
    ASSERT_NULL(idmap_get_snowflake(&m, 42));
}

void test_idmap_has(void) {
    twr_idmap_t m;
    idmap_init(&m);
    ASSERT_FALSE(idmap_has(&m, "111111111111111111"));
    idmap_get_short(&m, "111111111111111111");
    ASSERT_TRUE(idmap_has(&m, "111111111111111111"));
    ASSERT_FALSE(idmap_has(&m, "222222222222222222"));
}

void test_idmap_clear(void) {
    twr_idmap_t m;
    idmap_init(&m);
    idmap_get_short(&m, "111111111111111111");
    idmap_get_short(&m, "222222222222222222");
    ASSERT_EQ(m.count, 2);
    idmap_clear(&m);
    ASSERT_EQ(m.count, 0);
    ASSERT_EQ(m.next_id, 1);
    ASSERT_FALSE(idmap_has(&m, "111111111111111111"));
}

// The record is about 106 KB, so this one lives on the heap.
void test_idmap_table_full_s7(void) {
    twr_idmap_t *m = static_cast<twr_idmap_t *>(std::calloc(1, sizeof *m));
    ASSERT_NOT_NULL(m);
    idmap_init(m);
    uint16_t id = TWR_ID_NONE;
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) {
        char sf[24];
        std::snprintf(sf, sizeof sf, "%018d", i);
        id = idmap_get_short(m, sf);
        ASSERT_TRUE(id != TWR_ID_NONE);
    }
    ASSERT_EQ(m->count, TWR_IDMAP_SLOTS);
    id = idmap_get_short(m, "999999999999999999");
    ASSERT_EQ(id, TWR_ID_NONE);
    id = idmap_get_short(m, "000000000000000000");
    ASSERT_TRUE(id != TWR_ID_NONE);
    std::free(m);
}

void test_idmap_wraparound(void) {
    twr_idmap_t m;
    idmap_init(&m);
    m.next_id = TWR_ID_MAX;
    uint16_t id1 = idmap_get_short(&m, "aaaaaaaaaaaaaaaaaa");
    ASSERT_EQ(id1, TWR_ID_MAX);
    uint16_t id2 = idmap_get_short(&m, "bbbbbbbbbbbbbbbbbb");
    ASSERT_EQ(id2, 1);
}

void test_idmap_long_snowflake_truncated(void) {
    twr_idmap_t m;
    idmap_init(&m);
    uint16_t id = idmap_get_short(&m, "123456789012345678901234567890");
    const char *sf = idmap_get_snowflake(&m, id);
    ASSERT_NOT_NULL(sf);
    ASSERT_EQ(strlen(sf), 23);
    ASSERT_STR_EQ(sf, "12345678901234567890123");
}

}  // namespace

void run_id_mapper_tests(void) {
    selfcheck::suite_title("ID Mapper");
    RUN_CASE(test_idmap_init);
    RUN_CASE(test_idmap_get_short_basic);
    RUN_CASE(test_idmap_get_short_same_snowflake);
    RUN_CASE(test_idmap_get_short_different_snowflakes);
    RUN_CASE(test_idmap_get_short_null);
    RUN_CASE(test_idmap_get_snowflake);
    RUN_CASE(test_idmap_get_snowflake_none);
    RUN_CASE(test_idmap_get_snowflake_unknown);
    RUN_CASE(test_idmap_has);
    RUN_CASE(test_idmap_clear);
    RUN_CASE(test_idmap_table_full_s7);
    RUN_CASE(test_idmap_wraparound);
    RUN_CASE(test_idmap_long_snowflake_truncated);
}
