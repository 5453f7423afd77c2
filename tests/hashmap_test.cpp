// The string hash map through its public operations and fields: where keys
// land, when the table doubles, how removal closes gaps, and how it behaves
// when memory runs out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/hashmap.h"

#if defined(__SANITIZE_ADDRESS__)
#define HASHMAP_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HASHMAP_TEST_SANITIZED 1
#endif
#endif

// ---- Allocation failures on demand --------------------------------------
// The failure paths need malloc and calloc to refuse on cue, so this program
// replaces both with thin wrappers over the C library's own allocator, and
// counts the frees. The sanitizers bring their own allocator, so there the
// wrappers are left out and the tests that need them are skipped.
namespace {
struct fault_plan {
    bool armed = false;
    long allow = -1;             // allocations that still succeed; -1 is no limit
    size_t min_size = 0;         // smaller requests fail
    size_t max_size = SIZE_MAX;  // larger requests fail
    long granted = 0;            // successful allocations while armed
    long released = 0;           // frees while armed
};
fault_plan s_faults;

[[maybe_unused]] bool refuse(size_t bytes) {
    if (!s_faults.armed) return false;
    if (s_faults.allow == 0 || bytes < s_faults.min_size || bytes > s_faults.max_size) return true;
    if (s_faults.allow > 0) --s_faults.allow;
    ++s_faults.granted;
    return false;
}

// Arms the plan for the lifetime of the scope; gtest's own allocations happen
// outside it.
struct FaultScope {
    explicit FaultScope(long allow, size_t min_size = 0, size_t max_size = SIZE_MAX) {
        s_faults = {true, allow, min_size, max_size, 0, 0};
    }
    ~FaultScope() { s_faults.armed = false; }
    long granted() const { return s_faults.granted; }
    long released() const { return s_faults.released; }
};
}  // namespace

#ifndef HASHMAP_TEST_SANITIZED
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *malloc(size_t size) noexcept { return refuse(size) ? nullptr : __libc_malloc(size); }
extern "C" void *calloc(size_t count, size_t size) noexcept {
    return refuse(count * size) ? nullptr : __libc_calloc(count, size);
}
extern "C" void __libc_free(void *block);
extern "C" void free(void *block) noexcept {
    if (s_faults.armed && block != nullptr) ++s_faults.released;
    __libc_free(block);
}
#define SKIP_WITHOUT_FAULTS() (void)0
#else
#define SKIP_WITHOUT_FAULTS() GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail"
#endif

namespace {

struct Map {
    tw_hashmap_t m;
    explicit Map(uint32_t capacity) { tw_hashmap_init(&m, capacity); }
    Map() : m{} {}
    ~Map() { tw_hashmap_free(&m); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
};

// The slot holding key, by scanning the public key array; -1 when absent.
long slot_of(const tw_hashmap_t &m, const char *key) {
    for (uint32_t i = 0; i < m.capacity; ++i) {
        if (m.keys[i] != nullptr && std::strcmp(m.keys[i], key) == 0) return long(i);
    }
    return -1;
}

uint64_t value_of(const tw_hashmap_t &m, const char *key) {
    uint64_t v = 0xDEADDEADDEADDEADULL;
    EXPECT_EQ(tw_hashmap_get(&m, key, &v), 0) << key;
    return v;
}

// Checks what must hold between any two operations, from the fields alone.
void expect_consistent(const tw_hashmap_t &m) {
    ASSERT_NE(m.keys, nullptr);
    EXPECT_EQ(m.capacity & (m.capacity - 1), 0u) << m.capacity;
    EXPECT_LE(uint64_t(m.count) * 4, uint64_t(m.capacity) * 3);
    uint32_t occupied = 0;
    for (uint32_t i = 0; i < m.capacity; ++i) {
        if (m.keys[i] != nullptr) {
            ++occupied;
        } else {
            EXPECT_EQ(m.values[i], 0u) << "empty slot " << i;
        }
    }
    EXPECT_EQ(occupied, m.count);
}

// ---- Placement: FNV-1a and the mask -------------------------------------

struct HomeSlots {
    const char *name;
    std::vector<const char *> keys;
    std::vector<uint32_t> slots;  // at capacity 8
};

void PrintTo(const HomeSlots &row, std::ostream *os) { *os << row.name; }

class HashmapHomeSlot : public testing::TestWithParam<HomeSlots> {};

// Each group is small enough to stay below the doubling threshold, and no
// two of its keys share a home, so every key sits exactly at hash & 7.
TEST_P(HashmapHomeSlot, EveryKeySitsInItsHomeSlotAtCapacityEight) {
    const HomeSlots &row = GetParam();
    Map map(8);
    for (size_t i = 0; i < row.keys.size(); ++i) ASSERT_EQ(tw_hashmap_set(&map.m, row.keys[i], i + 1), 0);
    ASSERT_EQ(map.m.capacity, 8u);
    for (size_t i = 0; i < row.keys.size(); ++i) {
        EXPECT_EQ(slot_of(map.m, row.keys[i]), long(row.slots[i])) << row.keys[i];
        EXPECT_EQ(map.m.values[row.slots[i]], i + 1) << row.keys[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    SuiteKeys, HashmapHomeSlot,
    testing::Values(HomeSlots{"key_n", {"key_0", "key_1", "key_2", "key_3", "key_4"}, {3, 0, 1, 6, 7}},
                    HomeSlots{"k_n", {"k0", "k1", "k2", "k3", "k4"}, {6, 1, 0, 3, 2}},
                    HomeSlots{"greek", {"alpha", "beta", "gamma"}, {3, 7, 2}},
                    HomeSlots{"empty_key", {""}, {5}}),  // 0x811C9DC5 & 7
    [](const testing::TestParamInfo<HomeSlots> &info) { return std::string(info.param.name); });

// At 65536 slots a key's home is the low 16 bits of its hash, so the
// published FNV-1a vectors pin the hash itself.
TEST(Hashmap, HomeSlotsFollowThePublishedFnv1aVectors) {
    struct Vector {
        const char *key;
        uint32_t hash;
    };
    const Vector vectors[] = {{"", 0x811C9DC5}, {"a", 0xE40C292C},  {"b", 0xE70C2DE5},
                              {"c", 0xE60C2C52}, {"fo", 0x6222E842}, {"foo", 0xA9F37ED7},
                              {"foob", 0x3F5076EF}, {"fooba", 0x39AAA18A}, {"foobar", 0xBF9CF968}};
    Map map(65536);
    for (const Vector &v : vectors) ASSERT_EQ(tw_hashmap_set(&map.m, v.key, 1), 0);
    for (const Vector &v : vectors) EXPECT_EQ(slot_of(map.m, v.key), long(v.hash & 0xFFFF)) << '"' << v.key << '"';
}

// ---- Sizing and doubling ---------------------------------------------------

TEST(Hashmap, InitRoundsTheRequestUpToAPowerOfTwoOfAtLeastEight) {
    const uint32_t rows[][2] = {{0, 8}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {10, 16}, {16, 16}, {17, 32}, {1000, 1024}};
    for (const auto &row : rows) {
        Map map(row[0]);
        EXPECT_EQ(map.m.capacity, row[1]) << row[0];
        EXPECT_EQ(map.m.count, 0u);
        ASSERT_NE(map.m.values, nullptr);
        for (uint32_t i = 0; i < map.m.capacity; ++i) EXPECT_TRUE(map.m.keys[i] == nullptr && map.m.values[i] == 0);
    }
}

// The table doubles before the 7th insertion (6 * 4 >= 8 * 3) and before the
// 13th (12 * 4 >= 16 * 3).
TEST(Hashmap, DoublesBeforeTheSeventhAndThirteenthInsertionFromEight) {
    const uint32_t capacity_after[20] = {8,  8,  8,  8,  8,  8,  16, 16, 16, 16,
                                         16, 16, 32, 32, 32, 32, 32, 32, 32, 32};
    Map map(8);
    char buf[16];
    for (int i = 0; i < 20; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        ASSERT_EQ(tw_hashmap_set(&map.m, buf, uint64_t(i) * 7), 0);
        EXPECT_EQ(map.m.capacity, capacity_after[i]) << "after insertion " << i + 1;
        EXPECT_EQ(map.m.count, uint32_t(i + 1));
    }
    for (int i = 0; i < 20; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        EXPECT_EQ(value_of(map.m, buf), uint64_t(i) * 7);
    }
    expect_consistent(map.m);
}

TEST(Hashmap, ReplacingAKeyAtTheThresholdStillDoubles) {
    Map map(8);
    const char *keys[] = {"k0", "k1", "k2", "k3", "k4", "alpha"};
    for (const char *k : keys) ASSERT_EQ(tw_hashmap_set(&map.m, k, 1), 0);
    ASSERT_EQ(map.m.capacity, 8u);
    ASSERT_EQ(tw_hashmap_set(&map.m, "k2", 5), 0);
    EXPECT_EQ(map.m.capacity, 16u);
    EXPECT_EQ(map.m.count, 6u);
    EXPECT_EQ(value_of(map.m, "k2"), 5u);
    EXPECT_EQ(value_of(map.m, "alpha"), 1u);
}

// Old slots are re-placed in ascending order. At 8 slots k0 (home 6) was
// pushed round to slot 2 after key_3 took 6; at 16 both have home 14, and k0
// wins it because its old slot comes first.
TEST(Hashmap, DoublingRePlacesKeysInAscendingOldSlotOrder) {
    Map map(8);
    const char *first[] = {"key_0", "key_1", "key_2", "key_3", "key_4", "k0"};
    for (const char *k : first) ASSERT_EQ(tw_hashmap_set(&map.m, k, 1), 0);
    ASSERT_EQ(slot_of(map.m, "k0"), 2);
    ASSERT_EQ(tw_hashmap_set(&map.m, "k1", 2), 0);
    ASSERT_EQ(map.m.capacity, 16u);
    const std::pair<const char *, long> layout[] = {{"key_2", 1}, {"k1", 2},  {"key_4", 7}, {"key_1", 8},
                                                    {"key_0", 11}, {"k0", 14}, {"key_3", 15}};
    for (const auto &[key, slot] : layout) EXPECT_EQ(slot_of(map.m, key), slot) << key;
    EXPECT_EQ(map.m.count, 7u);
}

TEST(Hashmap, DoublingMovesTheKeyCopiesInsteadOfCopyingThemAgain) {
    Map map(8);
    char buf[16];
    std::vector<const char *> copies;
    for (int i = 0; i < 6; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        ASSERT_EQ(tw_hashmap_set(&map.m, buf, 0), 0);
        copies.push_back(map.m.keys[slot_of(map.m, buf)]);
    }
    ASSERT_EQ(tw_hashmap_set(&map.m, "one more", 0), 0);
    ASSERT_EQ(map.m.capacity, 16u);
    for (int i = 0; i < 6; ++i) {
        std::snprintf(buf, sizeof buf, "item_%03d", i);
        EXPECT_EQ(map.m.keys[slot_of(map.m, buf)], copies[size_t(i)]) << buf;
    }
}

TEST(Hashmap, ZeroFilledAndReleasedRecordsAreEmptyMapsThatStartAtSixtyFour) {
    Map zero;
    uint64_t out = 7;
    EXPECT_EQ(tw_hashmap_get(&zero.m, "a", &out), -1);
    EXPECT_EQ(out, 7u);
    EXPECT_FALSE(tw_hashmap_has(&zero.m, "a"));
    tw_hashmap_remove(&zero.m, "a");
    tw_hashmap_clear(&zero.m);
    EXPECT_EQ(zero.m.keys, nullptr);
    ASSERT_EQ(tw_hashmap_set(&zero.m, "a", 3), 0);
    EXPECT_EQ(zero.m.capacity, 64u);
    EXPECT_EQ(zero.m.count, 1u);

    Map freed(8);
    ASSERT_EQ(tw_hashmap_set(&freed.m, "x", 1), 0);
    tw_hashmap_free(&freed.m);
    EXPECT_EQ(freed.m.capacity, 0u);
    EXPECT_EQ(freed.m.count, 0u);
    tw_hashmap_free(&freed.m);  // releasing twice is harmless
    EXPECT_FALSE(tw_hashmap_has(&freed.m, "x"));
    ASSERT_EQ(tw_hashmap_set(&freed.m, "y", 2), 0);
    EXPECT_EQ(freed.m.capacity, 64u);
    EXPECT_EQ(value_of(freed.m, "y"), 2u);
    tw_hashmap_free(nullptr);
    tw_hashmap_clear(nullptr);
    tw_hashmap_remove(nullptr, "y");
}

// ---- Removal ---------------------------------------------------------------

// key_4 and beta both have home 7 and key_1 and k2 home 0, so inserting
// key_4, key_1, beta, k2 at 8 slots builds the run 7:key_4 0:key_1 1:beta
// 2:k2 that wraps past the last slot.
struct Removal {
    const char *name;
    const char *removed;
    std::vector<std::pair<const char *, long>> layout;
};

void PrintTo(const Removal &row, std::ostream *os) { *os << row.name; }

class HashmapWrappedRun : public testing::TestWithParam<Removal> {};

TEST_P(HashmapWrappedRun, RemovalShiftsBackOnlyWhatMustMove) {
    const Removal &row = GetParam();
    Map map(8);
    const std::pair<const char *, uint64_t> entries[] = {{"key_4", 40}, {"key_1", 10}, {"beta", 2}, {"k2", 22}};
    for (const auto &[key, value] : entries) ASSERT_EQ(tw_hashmap_set(&map.m, key, value), 0);
    ASSERT_EQ(slot_of(map.m, "key_4"), 7);
    ASSERT_EQ(slot_of(map.m, "key_1"), 0);
    ASSERT_EQ(slot_of(map.m, "beta"), 1);
    ASSERT_EQ(slot_of(map.m, "k2"), 2);
    tw_hashmap_remove(&map.m, "Beta");  // absent, though its probe path crosses the run
    ASSERT_EQ(map.m.count, 4u);

    tw_hashmap_remove(&map.m, row.removed);
    EXPECT_EQ(map.m.count, 3u);
    EXPECT_FALSE(tw_hashmap_has(&map.m, row.removed));
    for (const auto &[key, slot] : row.layout) EXPECT_EQ(slot_of(map.m, key), slot) << key;
    for (const auto &[key, value] : entries) {
        if (std::strcmp(key, row.removed) != 0) {
            EXPECT_EQ(value_of(map.m, key), value) << key;
        }
    }
    expect_consistent(map.m);
}

INSTANTIATE_TEST_SUITE_P(
    Capacity8, HashmapWrappedRun,
    testing::Values(
        // Hole at 7: key_1 is at home and stays; beta (home 7) moves back
        // into 7, and k2 (home 0) into beta's old slot.
        Removal{"hole_in_last_slot", "key_4", {{"beta", 7}, {"key_1", 0}, {"k2", 1}}},
        // Hole at 0: beta moves into it, k2 follows into 1.
        Removal{"hole_in_slot_zero", "key_1", {{"key_4", 7}, {"beta", 0}, {"k2", 1}}},
        // Hole at 1: k2 (home 0) moves back; nothing else changes.
        Removal{"hole_inside_run", "beta", {{"key_4", 7}, {"key_1", 0}, {"k2", 1}}},
        // The last of the run leaves no gap behind it.
        Removal{"end_of_run", "k2", {{"key_4", 7}, {"key_1", 0}, {"beta", 1}}}),
    [](const testing::TestParamInfo<Removal> &info) { return std::string(info.param.name); });

// ---- Keys and values -----------------------------------------------------

// Every caller key below is an exact-size heap block, so under the address
// sanitizer a comparison that read past a key's NUL would be caught.
std::unique_ptr<char[]> exact(const std::string &s) {
    auto p = std::make_unique<char[]>(s.size() + 1);
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

// Lengths run past three words, so prefixes share every leading word.
TEST(Hashmap, KeysThatDifferOnlyInLengthOrTheirLastByteStayApart) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    Map map(8);
    for (size_t len = 0; len <= alphabet.size(); ++len) {
        ASSERT_EQ(tw_hashmap_set(&map.m, exact(alphabet.substr(0, len)).get(), len), 0);
    }
    EXPECT_EQ(map.m.count, alphabet.size() + 1);
    for (size_t len = 0; len <= alphabet.size(); ++len) {
        const std::string prefix = alphabet.substr(0, len);
        uint64_t v = 999;
        EXPECT_EQ(tw_hashmap_get(&map.m, exact(prefix).get(), &v), 0) << len;
        EXPECT_EQ(v, len);
        EXPECT_FALSE(tw_hashmap_has(&map.m, exact(prefix + "!").get())) << len;
        if (len > 0) {
            std::string changed = prefix;
            changed.back() = char(changed.back() ^ 0x20);  // 'a' -> 'A', '1' -> 0x11: case matters
            EXPECT_FALSE(tw_hashmap_has(&map.m, exact(changed).get())) << changed;
        }
    }
}

TEST(Hashmap, TheEmptyKeyIsAnOrdinaryKey) {
    Map map(8);
    EXPECT_FALSE(tw_hashmap_has(&map.m, ""));
    ASSERT_EQ(tw_hashmap_set(&map.m, "", 5), 0);
    ASSERT_EQ(tw_hashmap_set(&map.m, "x", 6), 0);
    EXPECT_EQ(value_of(map.m, ""), 5u);
    tw_hashmap_remove(&map.m, "");
    EXPECT_FALSE(tw_hashmap_has(&map.m, ""));
    EXPECT_EQ(value_of(map.m, "x"), 6u);
    EXPECT_EQ(map.m.count, 1u);
}

TEST(Hashmap, ZeroAndAllOnesAreOrdinaryValues) {
    Map map(8);
    ASSERT_EQ(tw_hashmap_set(&map.m, "zero", 0), 0);
    ASSERT_EQ(tw_hashmap_set(&map.m, "ones", UINT64_MAX), 0);
    EXPECT_TRUE(tw_hashmap_has(&map.m, "zero"));
    char buf[16];
    for (int i = 0; i < 20; ++i) {  // through two doublings
        std::snprintf(buf, sizeof buf, "v%d", i);
        ASSERT_EQ(tw_hashmap_set(&map.m, buf, 1), 0);
    }
    EXPECT_EQ(value_of(map.m, "zero"), 0u);
    EXPECT_EQ(value_of(map.m, "ones"), UINT64_MAX);
    EXPECT_EQ(tw_hashmap_get(&map.m, "ones", nullptr), 0);
    ASSERT_EQ(tw_hashmap_set(&map.m, "ones", 0), 0);
    EXPECT_EQ(value_of(map.m, "ones"), 0u);
}

// A long random mix of sets, replacements, lookups and removals over a pool
// of keys that share prefixes, checked step by step against the standard map.
TEST(Hashmap, AgreesWithStdUnorderedMapOverARandomSequence) {
    std::vector<std::string> pool;
    for (int len = 0; len <= 20; ++len) pool.push_back(std::string(size_t(len), 'q'));
    for (int i = 0; i < 120; ++i) pool.push_back("item_" + std::to_string(i));
    for (int i = 0; i < 40; ++i) pool.push_back("item_" + std::to_string(i) + "_with_a_longer_tail");
    std::vector<std::unique_ptr<char[]>> keys;
    for (const std::string &s : pool) keys.push_back(exact(s));

    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<int> op(0, 99);
    std::unordered_map<std::string, uint64_t> model;
    Map map;
    for (int step = 0; step < 30000; ++step) {
        const size_t k = pick(rng);
        const char *key = keys[k].get();
        const int what = op(rng);
        if (what < 45) {
            const uint64_t value = what < 3 ? 0 : what < 6 ? UINT64_MAX : uint64_t(rng()) << 32 | rng();
            ASSERT_EQ(tw_hashmap_set(&map.m, key, value), 0);
            model[pool[k]] = value;
        } else if (what < 75) {
            tw_hashmap_remove(&map.m, key);
            model.erase(pool[k]);
        } else {
            uint64_t v = 12345;
            const auto it = model.find(pool[k]);
            ASSERT_EQ(tw_hashmap_get(&map.m, key, &v), it == model.end() ? -1 : 0) << step << ' ' << pool[k];
            ASSERT_EQ(v, it == model.end() ? 12345 : it->second) << step;
        }
        ASSERT_EQ(map.m.count, model.size()) << step;
        if (step % 1000 == 999) {
            ASSERT_NO_FATAL_FAILURE(expect_consistent(map.m));
            for (size_t i = 0; i < pool.size(); ++i) {
                ASSERT_EQ(tw_hashmap_has(&map.m, keys[i].get()), model.count(pool[i]) == 1) << step << ' ' << pool[i];
            }
        }
    }
}

// ---- Running out of memory -------------------------------------------------

TEST(HashmapOutOfMemory, InitLeavesAZeroFilledRecordAndReleasesWhatItGot) {
    SKIP_WITHOUT_FAULTS();
    for (long allowed = 0; allowed < 2; ++allowed) {  // the key array fails, then the value array
        tw_hashmap_t m;
        std::memset(&m, 0xA5, sizeof m);  // never initialised
        long granted = 0, released = 0;
        {
            FaultScope faults(allowed);
            tw_hashmap_init(&m, 16);
            granted = faults.granted();
            released = faults.released();
        }
        EXPECT_EQ(granted, allowed);
        EXPECT_EQ(released, granted);
        EXPECT_EQ(m.keys, nullptr);
        EXPECT_EQ(m.values, nullptr);
        EXPECT_EQ(m.capacity, 0u);
        EXPECT_EQ(m.count, 0u);
        EXPECT_FALSE(tw_hashmap_has(&m, "a"));
        ASSERT_EQ(tw_hashmap_set(&m, "a", 1), 0);  // the next set sets the map up
        EXPECT_EQ(m.capacity, 64u);
        tw_hashmap_free(&m);
    }
}

TEST(HashmapOutOfMemory, AZeroFilledRecordThatCannotBeSetUpRefusesTheSet) {
    SKIP_WITHOUT_FAULTS();
    Map map;
    int rc = 0;
    {
        FaultScope faults(1);  // the key array, not the value array
        rc = tw_hashmap_set(&map.m, "a", 1);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(map.m.keys, nullptr);
    EXPECT_EQ(map.m.capacity, 0u);
}

TEST(HashmapOutOfMemory, ASetThatCannotCopyItsKeyLeavesTheMapUnchanged) {
    SKIP_WITHOUT_FAULTS();
    for (int stored : {1, 6}) {  // below the threshold, and at it
        Map map(8);
        char buf[16];
        for (int i = 0; i < stored; ++i) {
            std::snprintf(buf, sizeof buf, "k%d", i);
            ASSERT_EQ(tw_hashmap_set(&map.m, buf, uint64_t(i)), 0);
        }
        char **const keys_before = map.m.keys;
        int rc_new = 0, rc_replace = 0;
        {
            // Key copies fail; the arrays of a doubling would not.
            FaultScope faults(-1, 64);
            rc_new = tw_hashmap_set(&map.m, "newcomer", 9);
            rc_replace = stored < 6 ? tw_hashmap_set(&map.m, "k0", 7) : 0;
        }
        EXPECT_EQ(rc_new, -1) << stored;
        EXPECT_EQ(rc_replace, 0) << stored;  // a replacement needs no memory below the threshold
        EXPECT_EQ(map.m.keys, keys_before);
        EXPECT_EQ(map.m.capacity, 8u) << "a failed set does not double the table";
        EXPECT_EQ(map.m.count, uint32_t(stored));
        EXPECT_FALSE(tw_hashmap_has(&map.m, "newcomer"));
        EXPECT_EQ(value_of(map.m, "k0"), stored < 6 ? 7u : 0u);
        expect_consistent(map.m);
    }
}

// With every array allocation refused, the table fills up in place: the
// failed doublings are not errors, the 9th key finds no empty slot, lookups
// of absent keys end after one cycle, and a full table still replaces and
// removes.
TEST(HashmapOutOfMemory, FailedDoublingsCarryOnInTheOldTableUntilItIsFull) {
    SKIP_WITHOUT_FAULTS();
    Map map(8);
    char buf[16];
    int rcs[9] = {};
    int rc_absent = 0, rc_replace = 0, rc_refill = 0;
    uint32_t count_full = 0, count_removed = 0;
    long kept_before = 0, kept_by_refused_set = 0;
    uint64_t v = 1;
    {
        FaultScope faults(-1, 0, 32);  // key copies still succeed; arrays of 16 slots do not
        for (int i = 0; i < 9; ++i) {
            std::snprintf(buf, sizeof buf, "k%d", i);
            if (i == 8) kept_before = faults.granted() - faults.released();
            rcs[i] = tw_hashmap_set(&map.m, buf, uint64_t(i) + 100);
        }
        kept_by_refused_set = faults.granted() - faults.released() - kept_before;
        rc_absent = tw_hashmap_get(&map.m, "absent", &v);
        tw_hashmap_remove(&map.m, "absent");
        count_full = map.m.count;
        rc_replace = tw_hashmap_set(&map.m, "k3", 3);
        tw_hashmap_remove(&map.m, "k5");
        count_removed = map.m.count;
        rc_refill = tw_hashmap_set(&map.m, "k8", 108);
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(rcs[i], 0) << i;
    EXPECT_EQ(rcs[8], -1);
    EXPECT_EQ(kept_by_refused_set, 0) << "the refused key's copy is released";
    EXPECT_EQ(rc_absent, -1);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(count_full, 8u);
    EXPECT_EQ(rc_replace, 0);
    EXPECT_EQ(count_removed, 7u);
    EXPECT_EQ(rc_refill, 0);
    EXPECT_EQ(map.m.capacity, 8u);
    EXPECT_EQ(map.m.count, 8u);
    EXPECT_FALSE(tw_hashmap_has(&map.m, "k5"));
    for (int i = 0; i < 9; ++i) {
        if (i == 5) continue;
        std::snprintf(buf, sizeof buf, "k%d", i);
        EXPECT_EQ(value_of(map.m, buf), i == 3 ? 3u : uint64_t(i) + 100) << buf;
    }

    // Memory is back: the next set doubles.
    ASSERT_EQ(tw_hashmap_set(&map.m, "k9", 109), 0);
    EXPECT_EQ(map.m.capacity, 16u);
    EXPECT_EQ(map.m.count, 9u);
    expect_consistent(map.m);
}

}  // namespace
