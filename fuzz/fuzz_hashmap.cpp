// Random operation sequences on the hash map, checked against
// std::unordered_map after every step: same contents, same answers, and
// every structural invariant (power-of-two capacity, load at most 3/4 after
// a growth, every key reachable from its home slot without a gap).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "relay/hashmap.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

// The published 32-bit FNV-1a, written out here independently of the map.
uint32_t fnv1a(const std::string &key) {
    uint32_t h = 2166136261u;
    for (unsigned char c : key) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// Keys from a small alphabet and short lengths, so that collisions, shared
// runs and wrap-around at small capacities are common.
std::string next_key(fuzz::ByteReader &in) {
    const size_t len = in.byte() % 4;
    std::string key;
    for (size_t k = 0; k < len; ++k) key.push_back(char('a' + in.byte() % 6));
    return key;
}

void check_invariants(const tw_hashmap_t &m, const std::unordered_map<std::string, uint64_t> &model) {
    require(m.count == model.size());
    if (m.keys == nullptr) {
        require(m.capacity == 0 && m.count == 0 && m.values == nullptr);
        return;
    }
    require(m.capacity >= 8 && (m.capacity & (m.capacity - 1)) == 0);
    uint32_t occupied = 0;
    for (uint32_t s = 0; s < m.capacity; ++s) {
        if (m.keys[s] == nullptr) {
            require(m.values[s] == 0);
            continue;
        }
        ++occupied;
        const std::string key(m.keys[s]);
        const auto it = model.find(key);
        require(it != model.end() && it->second == m.values[s]);
        // Every slot from the home slot up to this one is occupied.
        for (uint32_t k = fnv1a(key) & (m.capacity - 1); k != s; k = (k + 1) & (m.capacity - 1))
            require(m.keys[k] != nullptr);
    }
    require(occupied == m.count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::ByteReader in{data, size};
    tw_hashmap_t m{};
    std::unordered_map<std::string, uint64_t> model;
    while (in.more()) {
        const uint8_t op = in.byte() % 8;
        const std::string key = next_key(in);
        switch (op) {
            case 0:
            case 1: {  // set
                const uint64_t value = uint64_t(in.byte()) * 0x0101010101010101ull;
                const uint32_t cap_before = m.capacity;
                const uint32_t count_before = m.count;
                require(tw_hashmap_set(&m, key.c_str(), value) == 0);
                model[key] = value;
                // Growth happens exactly at the threshold, before the lookup.
                if (cap_before == 0) require(m.capacity == 64);
                else if (uint64_t(count_before) * 4 >= uint64_t(cap_before) * 3) require(m.capacity == cap_before * 2);
                else require(m.capacity == cap_before);
                break;
            }
            case 2: {  // get
                uint64_t out = 0xABABABABABABABABull;
                const int rc = tw_hashmap_get(&m, key.c_str(), &out);
                const auto it = model.find(key);
                if (it == model.end()) require(rc == -1 && out == 0xABABABABABABABABull);
                else require(rc == 0 && out == it->second);
                break;
            }
            case 3:  // has
                require(tw_hashmap_has(&m, key.c_str()) == (model.count(key) == 1));
                break;
            case 4:
            case 5:  // remove
                tw_hashmap_remove(&m, key.c_str());
                model.erase(key);
                break;
            case 6:  // clear
                if (in.byte() % 4 == 0) {
                    const uint32_t cap = m.capacity;
                    tw_hashmap_clear(&m);
                    model.clear();
                    require(m.capacity == cap);
                }
                break;
            default:  // release, then maybe start again at a chosen capacity
                if (in.byte() % 4 == 0) {
                    tw_hashmap_free(&m);
                    model.clear();
                    require(m.keys == nullptr && m.capacity == 0);
                    const uint8_t request = in.byte();
                    if (request % 2 == 0) {
                        tw_hashmap_init(&m, request);
                        uint32_t expect = 8;
                        while (expect < request) expect *= 2;
                        require(m.capacity == expect);
                    }
                }
                break;
        }
        check_invariants(m, model);
    }
    tw_hashmap_free(&m);
    return 0;
}
