// Where the string hash map re-places its keys when the table doubles, read
// from its public key array. The fuzz harness compares whole operation
// sequences with std::unordered_map and checks every key against its FNV-1a
// home slot (removal across the end of the table included);
// alloc_failure/ covers running out of memory.
#include <gtest/gtest.h>

#include <tuple>

#include "relay/hashmap.h"

namespace {

// At 8 slots k0 (home 6) goes round the end to slot 2; at 16 it shares home
// 14 with key_3 and wins it because its old slot comes first. Every key
// keeps its copy: growth moves the pointers.
TEST(Hashmap, DoublingMovesTheKeyCopiesInAscendingOrderOfOldSlots) {
    const std::tuple<const char *, uint32_t, uint32_t> keys[] = {  // key, slot at 8, slot at 16
        {"key_0", 3, 11}, {"key_1", 0, 8}, {"key_2", 1, 1}, {"key_3", 6, 15}, {"key_4", 7, 7}, {"k0", 2, 14}};
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    for (const auto &[key, at8, at16] : keys) ASSERT_EQ(tw_hashmap_set(&m, key, 1), 0);
    char *copies[8] = {};
    for (const auto &[key, at8, at16] : keys) ASSERT_STREQ(copies[at8] = m.keys[at8], key);
    ASSERT_EQ(tw_hashmap_set(&m, "k1", 2), 0);
    ASSERT_EQ(m.capacity, 16u);
    EXPECT_STREQ(m.keys[2], "k1");
    for (const auto &[key, at8, at16] : keys) EXPECT_EQ(m.keys[at16], copies[at8]) << key;  // the same copy, moved
    tw_hashmap_free(&m);
}

}  // namespace
