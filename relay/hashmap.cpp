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

// A caller's key, hashed and measured in one pass over its bytes.
struct probe_key {
    const char *text;
    size_t len;  // bytes before the NUL
    uint32_t hash;
};

constexpr probe_key measure(const char *key) noexcept {
    uint32_t h = kFnvOffsetBasis;
    const char *p = key;
    for (; *p != '\0'; ++p) {
        h ^= uint8_t(*p);
        h *= kFnvPrime;
    }
    return {key, size_t(p - key), h};
}

constexpr uint32_t fnv1a(const char *key) noexcept { return measure(key).hash; }

// The published FNV-1a test vectors; a wrong constant moves every key.
static_assert(fnv1a("") == 0x811C9DC5u);
static_assert(fnv1a("a") == 0xE40C292Cu);
static_assert(fnv1a("foobar") == 0xBF9CF968u);

// Key copies are allocated in whole 8-byte words, so a comparison may read
// any word of a copy that starts before its NUL.
constexpr size_t copy_size(size_t len) noexcept { return (len + 1 + 7) & ~size_t(7); }

char *copy_key(const probe_key &key) noexcept {
    const size_t size = copy_size(key.len);
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy == nullptr) return nullptr;
    std::memset(copy + size - 8, 0, 8);  // the padding after the NUL is never garbage
    std::memcpy(copy, key.text, key.len + 1);
    return copy;
}

inline uint64_t load64(const char *p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline uint32_t load32(const char *p) noexcept {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline uint16_t load16(const char *p) noexcept {
    uint16_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The key's bytes from `at` up to and including its NUL (1 to 8 of them), as
// the low bytes of a word, without reading past the NUL.
inline uint64_t key_tail(const probe_key &key, size_t at) noexcept {
    const size_t n = key.len + 1;
    const size_t rest = n - at;
    if (n >= 8) return load64(key.text + n - 8) >> (8 * (8 - rest));
    // A short key: two overlapping loads cover it, and the overlap ORs a
    // byte with itself.
    if (n >= 4) return uint64_t(load32(key.text)) | uint64_t(load32(key.text + n - 4)) << (8 * (n - 4));
    if (n >= 2) return uint64_t(load16(key.text)) | uint64_t(load16(key.text + n - 2)) << (8 * (n - 2));
    return 0;  // the empty key is its NUL alone
}

// Compares a stored copy with a caller's key a word at a time, NUL included,
// so a stored key that is longer or shorter differs in some word. The copy is
// read only in words that start before its NUL (every earlier word matched
// the key, which has no NUL there), which its word-rounded size covers; the
// caller's key is never read past its NUL.
inline bool same_key(const char *stored, const probe_key &key) noexcept {
    if constexpr (std::endian::native != std::endian::little) {
        return std::strcmp(stored, key.text) == 0;
    } else {
        const size_t n = key.len + 1;
        size_t at = 0;
        for (; at + 8 <= n; at += 8) {
            if (load64(stored + at) != load64(key.text + at)) return false;
        }
        const size_t rest = n - at;
        if (rest == 0) return true;
        const uint64_t mask = (uint64_t(1) << (8 * rest)) - 1;
        return ((load64(stored + at) ^ key_tail(key, at)) & mask) == 0;
    }
}

constexpr int kFound = 1;
constexpr int kAbsent = 0;
constexpr int kFull = -1;

// Walks the probe path from the key's home slot. Found: the key's slot.
// Absent: the first empty slot, where the key would go. Full: no empty slot
// and no match after one whole cycle, back at the home slot.
int find_slot(const tw_hashmap_t &map, const probe_key &key, uint32_t *out_slot) noexcept {
    const uint32_t mask = map.capacity - 1;
    const uint32_t home = key.hash & mask;
    char *const *keys = map.keys;
    uint32_t slot = home;
    do {
        const char *stored = keys[slot];
        if (stored == nullptr) {
            *out_slot = slot;
            return kAbsent;
        }
        if (same_key(stored, key)) {
            *out_slot = slot;
            return kFound;
        }
        slot = (slot + 1) & mask;
    } while (slot != home);
    *out_slot = slot;
    return kFull;
}

bool at_threshold(const tw_hashmap_t &map) noexcept { return map.count * 4 >= map.capacity * 3; }

// Doubles the table, moving each key copy rather than copying it again, so
// growth allocates only the two arrays and cannot lose a key. Old slots are
// re-placed in ascending order, each at the first empty slot from its new
// home, which fixes where colliding keys land. Gives false with the map
// untouched when memory runs out.
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
    const uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < old_capacity; ++i) {
        char *key = map->keys[i];
        if (key == nullptr) continue;
        uint32_t slot = fnv1a(key) & mask;
        while (keys[slot] != nullptr) slot = (slot + 1) & mask;
        keys[slot] = key;
        values[slot] = map->values[i];
    }
    std::free(map->keys);
    std::free(map->values);
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
