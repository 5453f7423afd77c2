#include "relay/id_mapper.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "relay/log.h"

namespace {

constexpr size_t kField = sizeof(twr_idmap_t::snowflakes[0]);
constexpr size_t kMaxText = kField - 1;  // the field's last byte is always NUL
static_assert(kField == 3 * sizeof(uint64_t), "a stored text is compared as three words");
// At most TWR_IDMAP_SLOTS - 1 IDs are held whenever a new one is issued, so a
// free one always exists.
static_assert(TWR_IDMAP_SLOTS < TWR_ID_MAX);

// Once per process, whichever map gets there first; never reset. Claimed by
// an exchange, so two threads whose maps get there at the same time still
// log the warning once; read first, so that a full table refusing text after
// text in several threads does not keep writing the shared flag.
std::atomic<bool> s_full_warned{false};
std::atomic<bool> s_wrap_warned{false};

bool first_time(std::atomic<bool> &warned) {
    return !warned.load(std::memory_order_relaxed) && !warned.exchange(true, std::memory_order_relaxed);
}

// A text the way a slot stores it: its first 23 bytes, NUL-padded to the
// 24-byte field. Every stored field is padded the same way, so two fields hold
// the same text exactly when their three words are equal, and the scan needs
// no string comparison and no length.
struct field_key {
    uint64_t w[3];
    // The word holding the text's last characters. Snowflakes issued close
    // together share their leading digits (the high bits are a timestamp)
    // and differ at the end, so this word tells most fields apart alone.
    size_t tell;
};

field_key make_key(const char *text) {
    char field[kField] = {};
    size_t len = 0;
    for (; len < kMaxText && text[len] != '\0'; ++len) field[len] = text[len];
    field_key key;
    std::memcpy(key.w, field, kField);
    key.tell = len == 0 ? 0 : (len - 1) / sizeof(uint64_t);
    return key;
}

// Fields sit at 24-byte steps inside a 4-aligned record, so words are loaded
// unaligned; on x86-64 that is a plain load.
uint64_t load_word(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

bool same_field(const char *field, const field_key &key) {
    const uint64_t diff = (load_word(field) ^ key.w[0]) | (load_word(field + 8) ^ key.w[1]) |
                          (load_word(field + 16) ^ key.w[2]);
    return diff == 0;
}

// `count` is a public field; never scan past the storage whatever it says.
int32_t filled(const twr_idmap_t *map) {
    if (map->count < 0) return 0;
    return map->count < TWR_IDMAP_SLOTS ? map->count : TWR_IDMAP_SLOTS;
}

// The first slot from `from` up to `to` that holds the key's text, or -1.
int32_t find_in(const twr_idmap_t *map, int32_t from, int32_t to, const field_key &key) {
    for (int32_t i = from; i < to; ++i) {
        if (same_field(map->snowflakes[i], key)) return i;
    }
    return -1;
}

// One load and one compare per slot: only a chunk in which some field's
// telling word matches is compared whole. The chunks are tested without an
// early exit, so the loop takes no branch until a chunk hits.
int32_t find_slot(const twr_idmap_t *map, const field_key &key) {
    const int32_t n = filled(map);
    const size_t at = key.tell * sizeof(uint64_t);
    const uint64_t tell = key.w[key.tell];
    constexpr int32_t kChunk = 8;
    int32_t i = 0;
    for (; i + kChunk <= n; i += kChunk) {
        const char *word = map->snowflakes[i] + at;
        bool any = false;
#pragma GCC unroll 8
        for (size_t j = 0; j < size_t{kChunk}; ++j) any |= load_word(word + j * kField) == tell;
        if (any) {
            const int32_t found = find_in(map, i, i + kChunk, key);
            if (found >= 0) return found;
        }
    }
    return find_in(map, i, n, key);
}

int32_t find_slot_by_id(const twr_idmap_t *map, uint16_t id) {
    const int32_t n = filled(map);
    // Test whole chunks without an early exit, which the compiler turns into
    // vector compares, then look for the exact slot inside the chunk that hit.
    constexpr int32_t kChunk = 32;
    int32_t i = 0;
    for (; i + kChunk <= n; i += kChunk) {
        bool any = false;
        for (int32_t j = 0; j < kChunk; ++j) any |= map->short_ids[i + j] == id;
        if (any) break;
    }
    for (; i < n; ++i) {
        if (map->short_ids[i] == id) return i;
    }
    return -1;
}

uint16_t after(uint32_t id) { return id >= TWR_ID_MAX ? uint16_t{1} : uint16_t(id + 1); }

// The first ID from `from` upward, going on at 1 after TWR_ID_MAX, that no
// entry holds. Handing out a held ID would make idmap_get_snowflake answer
// with another entity's text.
uint16_t free_id_from(const twr_idmap_t *map, uint16_t from) {
    if (from == 0 || from > TWR_ID_MAX) from = 1;
    if (find_slot_by_id(map, from) < 0) return from;
    // Mark the held IDs in one pass rather than rescanning the table for
    // every candidate, which is quadratic when a long run of IDs is held.
    std::array<uint64_t, 65536 / 64> held{};
    const int32_t n = filled(map);
    for (int32_t i = 0; i < n; ++i) {
        const uint16_t id = map->short_ids[i];
        held[id / 64u] |= uint64_t{1} << (id % 64u);
    }
    uint16_t id = from;
    while ((held[id / 64u] >> (id % 64u) & 1u) != 0) id = after(id);
    return id;
}

}  // namespace

void idmap_init(twr_idmap_t *map) {
    std::memset(map, 0, sizeof *map);
    map->next_id = 1;
}

void idmap_clear(twr_idmap_t *map) { idmap_init(map); }

uint16_t idmap_get_short(twr_idmap_t *map, const char *snowflake) {
    if (snowflake == nullptr || snowflake[0] == '\0') return TWR_ID_NONE;
    const field_key key = make_key(snowflake);
    const int32_t found = find_slot(map, key);
    if (found >= 0) return map->short_ids[found];

    const int32_t slot = filled(map);
    if (slot >= TWR_IDMAP_SLOTS) {
        if (first_time(s_full_warned)) {
            twr_log_warn("ID mapper: table full (%d slots), some entities may not be visible on Mac",
                         TWR_IDMAP_SLOTS);
        }
        return TWR_ID_NONE;
    }

    // Chosen before the slot is filled, so the new entry does not count as a holder.
    const uint16_t id = free_id_from(map, map->next_id);
    std::memcpy(map->snowflakes[slot], key.w, kField);
    map->short_ids[slot] = id;
    map->count = slot + 1;
    map->next_id = after(id);
    // Logged by the call that issues the last ID, before any later call has
    // had to skip one.
    if (id == TWR_ID_MAX && first_time(s_wrap_warned)) {
        twr_log_warn("ID mapper: IDs wrapped around, some lookups may return stale results");
    }
    return id;
}

const char *idmap_get_snowflake(const twr_idmap_t *map, uint16_t short_id) {
    if (short_id == TWR_ID_NONE) return nullptr;
    const int32_t slot = find_slot_by_id(map, short_id);
    return slot < 0 ? nullptr : map->snowflakes[slot];
}

bool idmap_has(const twr_idmap_t *map, const char *snowflake) {
    if (snowflake == nullptr || snowflake[0] == '\0') return false;
    return find_slot(map, make_key(snowflake)) >= 0;
}
