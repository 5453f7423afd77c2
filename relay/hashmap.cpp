#include "relay/hashmap.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

// 32-bit FNV-1a as published: XOR the byte in, then multiply, modulo 2^32.
constexpr uint32_t kFnvOffsetBasis = 0x811C9DC5u;
constexpr uint32_t kFnvPrime = 0x01000193u;

constexpr uint32_t kMinCapacity = 8;
constexpr uint32_t kFirstUseCapacity = 64;  // a zero-filled record's first set
constexpr uint32_t kMaxCapacity = uint32_t(1) << 31;

inline uint64_t load64(const char *p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline uint64_t load32(const char *p) noexcept {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline uint64_t load16(const char *p) noexcept {
    uint16_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Keys are compared a word (8 bytes, in memory order) at a time, the last
// word padded with zero bytes after the NUL. A stored copy is at least three
// words long and zero-filled after its NUL, so its first three words can
// always be read and compared with the caller's key padded the same way,
// without looking for either end first.
constexpr size_t kHeadWords = 3;
constexpr size_t kHeadBytes = 8 * kHeadWords;

constexpr size_t copy_size(size_t len) noexcept { return len + 1 < kHeadBytes ? kHeadBytes : len + 1; }
static_assert(copy_size(0) == 24 && copy_size(23) == 24 && copy_size(24) == 25);

// The last `r` bytes (1 to 7) of a key that is `n` bytes long with its NUL,
// starting at `p`, as a padded word. Never reads past the NUL: when n >= 8
// the 8 bytes that end at the NUL all belong to the key.
inline uint64_t padded_word(const char *p, size_t r, size_t n) noexcept {
    if constexpr (kLittleEndian) {
        if (n >= 8) return load64(p + r - 8) >> (8 * (8 - r));
        // Two overlapping loads cover a short key; the overlap ORs a byte
        // with itself.
        if (r >= 4) return load32(p) | load32(p + r - 4) << (8 * (r - 4));
        if (r >= 2) return load16(p) | load16(p + r - 2) << (8 * (r - 2));
        return uint64_t(uint8_t(p[0]));
    } else {
        uint64_t w = 0;
        std::memcpy(&w, p, r);
        return w;
    }
}

// The padded word of a key at byte `at`; 0 once past its NUL.
inline uint64_t key_word(const char *key, size_t at, size_t n) noexcept {
    if (at >= n) return 0;
    if (n - at >= 8) return load64(key + at);
    return padded_word(key + at, n - at, n);
}

constexpr uint32_t fnv1a_step(uint32_t h, char c) noexcept { return (h ^ uint8_t(c)) * kFnvPrime; }

constexpr uint32_t fnv1a(const char *key) noexcept {
    uint32_t h = kFnvOffsetBasis;
    for (; *key != '\0'; ++key) h = fnv1a_step(h, *key);
    return h;
}

// The published FNV-1a test vectors; a wrong constant moves every key.
static_assert(fnv1a("") == 0x811C9DC5u);
static_assert(fnv1a("a") == 0xE40C292Cu);
static_assert(fnv1a("foobar") == 0xBF9CF968u);

// A caller's key, hashed and measured in one pass over its bytes.
struct probe_key {
    const char *text;
    size_t len;  // bytes before the NUL
    uint32_t hash;
};

// The same hash as fnv1a, eight bytes per round. Each byte's multiply waits
// for the previous one, so the loop keeps everything else off that chain:
// with one pointer step per round, a byte costs only its load and end test
// besides, and the hashing of successive keys overlaps.
constexpr probe_key measure(const char *key) noexcept {
    uint32_t h = kFnvOffsetBasis;
    const char *p = key;
    for (;; p += 8) {
        // Unrolled whatever the optimisation level: at -O2 the compiler
        // would otherwise keep a loop branch per byte.
#pragma GCC unroll 8
        for (size_t i = 0; i < 8; ++i) {
            if (p[i] == '\0') return {key, size_t(p + i - key), h};
            h = fnv1a_step(h, p[i]);
        }
    }
}

static_assert(measure("foobar").hash == fnv1a("foobar") && measure("foobar").len == 6);
static_assert(measure("0123456789abcdefg").hash == fnv1a("0123456789abcdefg"));
static_assert(measure("01234567").len == 8 && measure("").len == 0);

// The key's first three words as stored copies hold them.
struct key_head {
    uint64_t w[kHeadWords];
};

inline key_head head_of(const probe_key &key) noexcept {
    const size_t n = key.len + 1;
    return {{key_word(key.text, 0, n), key_word(key.text, 8, n), key_word(key.text, 16, n)}};
}

char *copy_key(const probe_key &key) noexcept {
    const size_t size = copy_size(key.len);
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy == nullptr) return nullptr;
    std::memset(copy, 0, kHeadBytes);
    std::memcpy(copy, key.text, key.len + 1);
    return copy;
}

// Equal exactly when the stored copy holds the same text. The head words
// are compared without branches; a key of 24 bytes or more then goes on
// from byte 24, where the copy has no NUL before (its head matched).
inline bool same_key(const char *stored, const probe_key &key, const key_head &head) noexcept {
    const uint64_t diff = (load64(stored) ^ head.w[0]) | (load64(stored + 8) ^ head.w[1]) |
                          (load64(stored + 16) ^ head.w[2]);
    if (diff != 0) return false;
    return key.len < kHeadBytes || std::strcmp(stored + kHeadBytes, key.text + kHeadBytes) == 0;
}

constexpr int kFound = 1;
constexpr int kAbsent = 0;
constexpr int kFull = -1;

// Walks the probe path from the key's home slot. Found: the key's slot.
// Absent: the first empty slot, where the key would go. Full: no empty slot
// and no match after one whole cycle, back at the home slot. The key's head
// words are only built once the path meets an occupied slot: most searches
// for an absent key end at an empty home. Inlined at every optimisation
// level: out of line, as -O2 would leave it, the key goes through memory.
[[gnu::always_inline]] inline int find_slot(const tw_hashmap_t &map, const probe_key &key,
                                           uint32_t *out_slot) noexcept {
    const uint32_t mask = map.capacity - 1;
    const uint32_t home = key.hash & mask;
    char *const *keys = map.keys;
    uint32_t slot = home;
    const char *stored = keys[slot];
    if (stored != nullptr) {
        const key_head head = head_of(key);
        for (;;) {
            if (same_key(stored, key, head)) {
                *out_slot = slot;
                return kFound;
            }
            slot = (slot + 1) & mask;
            if (slot == home) {
                *out_slot = slot;
                return kFull;
            }
            stored = keys[slot];
            if (stored == nullptr) break;
        }
    }
    *out_slot = slot;
    return kAbsent;
}

bool at_threshold(const tw_hashmap_t &map) noexcept { return map.count * 4 >= map.capacity * 3; }

// Doubles the table, moving each key copy rather than copying it again, so
// growth cannot lose a key and allocates only the two new arrays and a
// scratch list of hashes. Old slots are re-placed in ascending order, each at
// the first empty slot from its new home, which fixes where colliding keys
// land. Gives false with the map untouched when memory runs out.
bool grow(tw_hashmap_t *map) noexcept {
    if (map->capacity >= kMaxCapacity) return false;
    const uint32_t old_capacity = map->capacity;
    const uint32_t capacity = old_capacity * 2;
    auto **keys = static_cast<char **>(std::calloc(capacity, sizeof(char *)));
    auto *values = static_cast<uint64_t *>(std::calloc(capacity, sizeof(uint64_t)));
    if (keys == nullptr || values == nullptr) {
        std::free(keys);
        std::free(values);
        return false;
    }

    // Pack the old entries to the front of the old arrays, keeping their
    // order; the old arrays are released at the end anyway.
    char **old_keys = map->keys;
    uint64_t *old_values = map->values;
    uint32_t count = 0;
    for (uint32_t i = 0; i < old_capacity; ++i) {
        old_keys[count] = old_keys[i];
        old_values[count] = old_values[i];
        count += old_keys[i] != nullptr;
    }

    // Hash them all before placing any: the copies lie scattered in memory,
    // and a loop free of the placements' unpredictable probe branches keeps
    // many of them in flight at once. Without the scratch list each key is
    // hashed as it is placed, to the same result.
    auto *hashes = static_cast<uint32_t *>(std::malloc(size_t(count) * sizeof(uint32_t)));
    if (hashes != nullptr) {
        constexpr uint32_t kAhead = 8;
        for (uint32_t j = 0; j < count; ++j) {
            if (j + kAhead < count) __builtin_prefetch(old_keys[j + kAhead]);
            hashes[j] = fnv1a(old_keys[j]);
        }
    }
    const uint32_t mask = capacity - 1;
    for (uint32_t j = 0; j < count; ++j) {
        uint32_t slot = (hashes != nullptr ? hashes[j] : fnv1a(old_keys[j])) & mask;
        while (keys[slot] != nullptr) slot = (slot + 1) & mask;
        keys[slot] = old_keys[j];
        values[slot] = old_values[j];
    }
    std::free(hashes);
    std::free(old_keys);
    std::free(old_values);
    map->keys = keys;
    map->values = values;
    map->capacity = capacity;
    return true;
}

bool usable(const tw_hashmap_t *map, const char *key) noexcept {
    return map != nullptr && map->keys != nullptr && key != nullptr;
}

}  // namespace

void tw_hashmap_init(tw_hashmap_t *map, uint32_t capacity) {
    const uint32_t slots = std::bit_ceil(std::clamp(capacity, kMinCapacity, kMaxCapacity));
    auto **keys = static_cast<char **>(std::calloc(slots, sizeof(char *)));
    auto *values = static_cast<uint64_t *>(std::calloc(slots, sizeof(uint64_t)));
    if (keys == nullptr || values == nullptr) {
        std::free(keys);
        std::free(values);
        *map = tw_hashmap_t{};
        return;
    }
    *map = tw_hashmap_t{keys, values, slots, 0};
}

void tw_hashmap_free(tw_hashmap_t *map) {
    if (map == nullptr) return;
    if (map->keys != nullptr) {
        for (uint32_t i = 0; i < map->capacity; ++i) std::free(map->keys[i]);
    }
    std::free(map->keys);
    std::free(map->values);
    *map = tw_hashmap_t{};
}

void tw_hashmap_clear(tw_hashmap_t *map) {
    if (map == nullptr || map->keys == nullptr) return;
    for (uint32_t i = 0; i < map->capacity; ++i) std::free(map->keys[i]);
    std::memset(map->keys, 0, size_t(map->capacity) * sizeof(char *));
    std::memset(map->values, 0, size_t(map->capacity) * sizeof(uint64_t));
    map->count = 0;
}

int tw_hashmap_set(tw_hashmap_t *map, const char *key, uint64_t value) {
    if (map == nullptr || key == nullptr) return -1;
    if (map->keys == nullptr) {
        tw_hashmap_init(map, kFirstUseCapacity);
        if (map->keys == nullptr) return -1;
    }
    const probe_key pk = measure(key);
    uint32_t slot = 0;
    int found = find_slot(*map, pk, &slot);
    // A new key is copied before anything changes, so running out of memory
    // here leaves the map exactly as it was, capacity included.
    char *copy = nullptr;
    if (found != kFound) {
        copy = copy_key(pk);
        if (copy == nullptr) return -1;
    }
    // The load test comes before the placement even for a replacement, so a
    // map at the threshold doubles on any set. A doubling that runs out of
    // memory leaves the old table, where the set carries on.
    if (at_threshold(*map) && grow(map)) found = find_slot(*map, pk, &slot);
    if (found == kFound) {
        map->values[slot] = value;
        return 0;
    }
    if (found == kFull) {
        std::free(copy);
        return -1;
    }
    map->keys[slot] = copy;
    map->values[slot] = value;
    ++map->count;
    return 0;
}

int tw_hashmap_get(const tw_hashmap_t *map, const char *key, uint64_t *out_value) {
    if (!usable(map, key)) return -1;
    uint32_t slot = 0;
    if (find_slot(*map, measure(key), &slot) != kFound) return -1;
    if (out_value != nullptr) *out_value = map->values[slot];
    return 0;
}

bool tw_hashmap_has(const tw_hashmap_t *map, const char *key) {
    if (!usable(map, key)) return false;
    uint32_t slot = 0;
    return find_slot(*map, measure(key), &slot) == kFound;
}

void tw_hashmap_remove(tw_hashmap_t *map, const char *key) {
    if (!usable(map, key) || map->count == 0) return;
    uint32_t hole = 0;
    if (find_slot(*map, measure(key), &hole) != kFound) return;
    std::free(map->keys[hole]);
    map->keys[hole] = nullptr;
    map->values[hole] = 0;
    --map->count;

    // Shift later entries back rather than leave a tombstone: a probe stops at
    // the first empty slot, so a hole would hide every key that collided past
    // it. An entry moves into the hole unless its home lies cyclically after
    // the hole, up to its own slot; equivalently, when it sits at least as
    // far from its home as from the hole.
    const uint32_t mask = map->capacity - 1;
    uint32_t j = hole;
    for (;;) {
        j = (j + 1) & mask;
        char *moving = map->keys[j];
        if (moving == nullptr) break;
        const uint32_t home = fnv1a(moving) & mask;
        if (((j - home) & mask) < ((j - hole) & mask)) continue;
        map->keys[hole] = moving;
        map->values[hole] = map->values[j];
        map->keys[j] = nullptr;
        map->values[j] = 0;
        hole = j;
    }
}
