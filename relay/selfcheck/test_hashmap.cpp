// The "Hashmap" suite: sizing, set/get/has, replacement, removal with and
// without neighbours, doubling, clearing, extreme values and null arguments.
#include <cstdint>
#include <cstdio>

#include "relay/hashmap.h"
#include "relay/selfcheck/selfcheck.h"

namespace {

void test_hashmap_init_free(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    ASSERT_EQ(m.capacity, 16);
    ASSERT_EQ(m.count, 0);
    ASSERT_NOT_NULL(m.keys);
    ASSERT_NOT_NULL(m.values);
    tw_hashmap_free(&m);
    ASSERT_NULL(m.keys);
    ASSERT_NULL(m.values);
    ASSERT_EQ(m.count, 0);
}

void test_hashmap_init_rounds_up(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 10);
    ASSERT_EQ(m.capacity, 16);
    tw_hashmap_free(&m);
}

void test_hashmap_init_minimum(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 1);
    ASSERT_EQ(m.capacity, 8);
    tw_hashmap_free(&m);
}

void test_hashmap_set_get(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    int rc = tw_hashmap_set(&m, "alpha", 100);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(m.count, 1);
    uint64_t val = 0;
    rc = tw_hashmap_get(&m, "alpha", &val);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(val, 100);
    tw_hashmap_free(&m);
}

void test_hashmap_overwrite(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    tw_hashmap_set(&m, "key", 42);
    tw_hashmap_set(&m, "key", 99);
    ASSERT_EQ(m.count, 1);
    uint64_t val = 0;
    tw_hashmap_get(&m, "key", &val);
    ASSERT_EQ(val, 99);
    tw_hashmap_free(&m);
}

void test_hashmap_has(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    ASSERT_FALSE(tw_hashmap_has(&m, "x"));
    tw_hashmap_set(&m, "x", 1);
    ASSERT_TRUE(tw_hashmap_has(&m, "x"));
    ASSERT_FALSE(tw_hashmap_has(&m, "y"));
    tw_hashmap_free(&m);
}

void test_hashmap_get_missing(void) {
    uint64_t val = 999;
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    int rc = tw_hashmap_get(&m, "nonexistent", &val);
    ASSERT_EQ(rc, -1);
    tw_hashmap_free(&m);
}

void test_hashmap_remove_basic(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    tw_hashmap_set(&m, "a", 1);
    tw_hashmap_set(&m, "b", 2);
    ASSERT_EQ(m.count, 2);
    tw_hashmap_remove(&m, "a");
    ASSERT_EQ(m.count, 1);
    ASSERT_FALSE(tw_hashmap_has(&m, "a"));
    ASSERT_TRUE(tw_hashmap_has(&m, "b"));
    tw_hashmap_free(&m);
}

void test_hashmap_remove_nonexistent(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    tw_hashmap_set(&m, "a", 1);
    tw_hashmap_remove(&m, "z");
    ASSERT_EQ(m.count, 1);
    ASSERT_TRUE(tw_hashmap_has(&m, "a"));
    tw_hashmap_free(&m);
}

void test_hashmap_remove_preserves_chain_s6(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    char buf[16];
    for (int i = 0; i < 5; ++i) {
        std::snprintf(buf, sizeof buf, "key_%d", i);
        tw_hashmap_set(&m, buf, (uint64_t)(i * 10));
    }
    ASSERT_EQ(m.count, 5);
    tw_hashmap_remove(&m, "key_1");
    ASSERT_EQ(m.count, 4);
    const int remaining[] = {0, 2, 3, 4};
    for (int i : remaining) {
        std::snprintf(buf, sizeof buf, "key_%d", i);
        uint64_t val = 0;
        int rc = tw_hashmap_get(&m, buf, &val);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(val, (uint64_t)(i * 10));
    }
    tw_hashmap_free(&m);
}

void test_hashmap_remove_reinsert_chain(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    tw_hashmap_set(&m, "alpha", 1);
    tw_hashmap_set(&m, "beta", 2);
    tw_hashmap_set(&m, "gamma", 3);
    tw_hashmap_remove(&m, "beta");
    ASSERT_EQ(m.count, 2);
    tw_hashmap_set(&m, "beta", 20);
    ASSERT_EQ(m.count, 3);
    uint64_t val = 0;
    tw_hashmap_get(&m, "alpha", &val);
    ASSERT_EQ(val, 1);
    tw_hashmap_get(&m, "beta", &val);
    ASSERT_EQ(val, 20);
    tw_hashmap_get(&m, "gamma", &val);
    ASSERT_EQ(val, 3);
    tw_hashmap_free(&m);
}

void test_hashmap_grow(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    char buf[32];
    for (int i = 0; i < 20; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        tw_hashmap_set(&m, buf, (uint64_t)i);
    }
    ASSERT_EQ(m.count, 20);
    ASSERT_TRUE(m.capacity >= 32);
    for (int i = 0; i < 20; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        uint64_t val = 0;
        ASSERT_EQ(tw_hashmap_get(&m, buf, &val), 0);
        ASSERT_EQ(val, (uint64_t)i);
    }
    tw_hashmap_free(&m);
}

void test_hashmap_clear(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    tw_hashmap_set(&m, "a", 1);
    tw_hashmap_set(&m, "b", 2);
    ASSERT_EQ(m.count, 2);
    tw_hashmap_clear(&m);
    ASSERT_EQ(m.count, 0);
    ASSERT_FALSE(tw_hashmap_has(&m, "a"));
    ASSERT_FALSE(tw_hashmap_has(&m, "b"));
    tw_hashmap_set(&m, "c", 3);
    ASSERT_EQ(m.count, 1);
    tw_hashmap_free(&m);
}

void test_hashmap_large_values(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 16);
    tw_hashmap_set(&m, "big", 0xFFFFFFFFFFFFFFFFULL);
    uint64_t val = 0;
    tw_hashmap_get(&m, "big", &val);
    ASSERT_EQ(val, 0xFFFFFFFFFFFFFFFFULL);
    tw_hashmap_free(&m);
}

void test_hashmap_null_args(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    ASSERT_EQ(tw_hashmap_set(NULL, "key", 1), -1);
    ASSERT_EQ(tw_hashmap_set(&m, NULL, 1), -1);
    ASSERT_EQ(tw_hashmap_get(NULL, "key", NULL), -1);
    ASSERT_EQ(tw_hashmap_get(&m, NULL, NULL), -1);
    ASSERT_FALSE(tw_hashmap_has(NULL, "key"));
    ASSERT_FALSE(tw_hashmap_has(&m, NULL));
    tw_hashmap_free(&m);
}

void test_hashmap_remove_all(void) {
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    char buf[16];
    for (int i = 0; i < 5; ++i) {
        std::snprintf(buf, sizeof buf, "k%d", i);
        tw_hashmap_set(&m, buf, (uint64_t)i);
    }
    ASSERT_EQ(m.count, 5);
    for (int i = 0; i < 5; ++i) {
        std::snprintf(buf, sizeof buf, "k%d", i);
        tw_hashmap_remove(&m, buf);
    }
    ASSERT_EQ(m.count, 0);
    for (int i = 0; i < 5; ++i) {
        std::snprintf(buf, sizeof buf, "k%d", i);
        ASSERT_FALSE(tw_hashmap_has(&m, buf));
    }
    tw_hashmap_free(&m);
}

}  // namespace

void run_hashmap_tests(void) {
    selfcheck::suite_title("Hashmap");
    RUN_CASE(test_hashmap_init_free);
    RUN_CASE(test_hashmap_init_rounds_up);
    RUN_CASE(test_hashmap_init_minimum);
    RUN_CASE(test_hashmap_set_get);
    RUN_CASE(test_hashmap_overwrite);
    RUN_CASE(test_hashmap_has);
    RUN_CASE(test_hashmap_get_missing);
    RUN_CASE(test_hashmap_remove_basic);
    RUN_CASE(test_hashmap_remove_nonexistent);
    RUN_CASE(test_hashmap_remove_preserves_chain_s6);
    RUN_CASE(test_hashmap_remove_reinsert_chain);
    RUN_CASE(test_hashmap_grow);
    RUN_CASE(test_hashmap_clear);
    RUN_CASE(test_hashmap_large_values);
    RUN_CASE(test_hashmap_null_args);
    RUN_CASE(test_hashmap_remove_all);
}
