// Random operation sequences on the hash map, checked against
// std::unordered_map after every step: the same answers and contents, and
// the table's rules (a power-of-two capacity of at least 8, at most three
// quarters full, doubling exactly at the threshold, every key reachable from
// its home slot without a gap, empty slots holding 0).
#include <cstdint>
#include <string>
#include <unordered_map>

#include "relay/hashmap.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;
using Model = std::unordered_map<std::string, uint64_t>;

uint32_t fnv1a(const char *key) {  // the published 32-bit FNV-1a, written out here
    uint32_t h = 2166136261u;
    for (; *key != '\0'; ++key) h = (h ^ uint8_t(*key)) * 16777619u;
    return h;
}

// Up to three of six letters, so that collisions, shared runs and the wrap
// round the end are common; a length byte of 0xC0 or more puts 21 to 28 'q's
// in front, for long keys that differ only in their length or last bytes.
std::string next_key(fuzz::ByteReader &in) {
    const uint8_t b = in.byte();
    std::string key(b >= 0xC0 ? 21 + (b >> 2 & 7) : 0, 'q');
    for (int k = b & 3; k > 0; --k) key.push_back(char('a' + in.byte() % 6));
    return key;
}

void check(const tw_hashmap_t &m, const Model &model) {
    require(m.count == model.size());
    if (m.keys == nullptr) return require(m.capacity == 0 && m.values == nullptr);
    const uint32_t mask = m.capacity - 1;
    require(m.capacity >= 8 && (m.capacity & mask) == 0 && uint64_t(m.count) * 4 <= uint64_t(m.capacity) * 3);
    for (uint32_t s = 0; s < m.capacity; ++s) {  // every slot from a key's home to its own is occupied
        require(m.keys[s] != nullptr ? model.count(m.keys[s]) == 1 : m.values[s] == 0);
        for (uint32_t k = m.keys[s] ? fnv1a(m.keys[s]) & mask : s; k != s; k = (k + 1) & mask) require(m.keys[k]);
    }
    for (const auto &[key, value] : model) {
        uint64_t out = ~value;
        require(tw_hashmap_get(&m, key.c_str(), &out) == 0 && out == value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tw_hashmap_free(nullptr), tw_hashmap_clear(nullptr), tw_hashmap_remove(nullptr, "");  // null maps are ignored
    fuzz::ByteReader in{data, size};
    tw_hashmap_t m{};
    Model model;
    while (in.more()) {
        const uint8_t op = in.byte() % 8;
        const std::string key = next_key(in);
        const uint32_t capacity = m.capacity;
        const auto found = model.find(key);
        if (op < 2) {  // set: a zero-filled record starts at 64, a table at the threshold doubles first
            const uint64_t value = in.byte() * 0x0101010101010101ull;
            const bool at_threshold = uint64_t(m.count) * 4 >= uint64_t(capacity) * 3;
            require(tw_hashmap_set(&m, key.c_str(), value) == 0);
            model[key] = value;
            require(m.capacity == (capacity == 0 ? 64 : at_threshold ? 2 * capacity : capacity));
        } else if (op < 4) {  // get and has: an absent key leaves the output alone
            uint64_t out = 0xABABABABABABABABull;
            const bool present = found != model.end();
            require(tw_hashmap_get(&m, key.c_str(), &out) == (present ? 0 : -1) && tw_hashmap_has(&m, key.c_str()) == present);
            require(out == (present ? found->second : 0xABABABABABABABABull));
        } else if (op < 6) {
            tw_hashmap_remove(&m, key.c_str());
            model.erase(key);
        } else if (in.byte() % 4 == 0) {  // clear keeps the arrays; free, then maybe init at a chosen size
            model.clear();
            if (op == 6) {
                tw_hashmap_clear(&m);
                require(m.capacity == capacity);
            } else {
                tw_hashmap_free(&m);
                const uint8_t request = in.byte();
                uint32_t expected = 8;
                while (expected < request) expected *= 2;
                if (request % 2 == 0) tw_hashmap_init(&m, request);
                require(m.capacity == (request % 2 == 0 ? expected : 0));
            }
        }
        check(m, model);
    }
    tw_hashmap_free(&m);
    return 0;
}
