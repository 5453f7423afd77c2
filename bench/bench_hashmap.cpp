// The string hash map beside std::unordered_map<std::string, uint64_t> and,
// when available, absl::flat_hash_map<std::string, uint64_t>, on the same
// keys in the same run: insert N keys "item_%06d" into an empty map, look all
// of them up in shuffled order, and look up N keys that are absent (the next
// N numbers, so they share the present keys' length and prefix), with N at
// 1,000 and 100,000. Read the figures as ratios to the anchors.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/hashmap.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef TWRELAY_HAVE_ABSL
#include <absl/container/flat_hash_map.h>
#endif

namespace {

#ifdef __GLIBC__
// Every insert benchmark builds a map from empty and releases it between
// iterations. By default glibc decides from the blocks freed so far whether
// a large block comes from the kernel and whether freed memory goes back to
// it, so a map could be timed refaulting its pages or not depending on which
// benchmark ran before it. Fixed thresholds keep freed memory in the process
// for every map alike.
[[maybe_unused]] const bool s_steady_heap = [] {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    return true;
}();
#endif

struct key_set {
    std::vector<std::string> inserted;  // "item_%06d" for 0..N-1, in order
    std::vector<std::string> shuffled;  // the same keys in a fixed random order
    std::vector<std::string> absent;    // N..2N-1, shuffled
    int64_t bytes = 0;                  // key bytes in one pass over N keys
};

std::vector<std::string> numbered(int64_t from, int64_t n) {
    std::vector<std::string> keys;
    keys.reserve(size_t(n));
    char buf[32];
    for (int64_t i = from; i < from + n; ++i) {
        std::snprintf(buf, sizeof buf, "item_%06lld", static_cast<long long>(i));
        keys.emplace_back(buf);
    }
    return keys;
}

const key_set &keys_for(int64_t n) {
    static std::map<int64_t, key_set> cache;
    auto [it, fresh] = cache.try_emplace(n);
    key_set &set = it->second;
    if (fresh) {
        std::mt19937 rng{uint32_t(n)};
        set.inserted = numbered(0, n);
        set.shuffled = set.inserted;
        std::shuffle(set.shuffled.begin(), set.shuffled.end(), rng);
        set.absent = numbered(n, n);
        std::shuffle(set.absent.begin(), set.absent.end(), rng);
        for (const std::string &k : set.inserted) set.bytes += int64_t(k.size());
    }
    return set;
}

struct tw_map {
    tw_hashmap_t m{};
    tw_map() = default;
    tw_map(const tw_map &) = delete;
    tw_map &operator=(const tw_map &) = delete;
    ~tw_map() { tw_hashmap_free(&m); }
    void insert(const std::string &key, uint64_t value) {
        if (tw_hashmap_set(&m, key.c_str(), value) != 0) std::abort();
    }
    bool find(const std::string &key, uint64_t *value) const {
        return tw_hashmap_get(&m, key.c_str(), value) == 0;
    }
};

template <typename Map>
struct std_style_map {
    Map m;
    void insert(const std::string &key, uint64_t value) { m.emplace(key, value); }
    bool find(const std::string &key, uint64_t *value) const {
        const auto it = m.find(key);
        if (it == m.end()) return false;
        *value = it->second;
        return true;
    }
};

using std_unordered_map = std_style_map<std::unordered_map<std::string, uint64_t>>;
#ifdef TWRELAY_HAVE_ABSL
using absl_flat_hash_map = std_style_map<absl::flat_hash_map<std::string, uint64_t>>;
#endif

template <typename Map>
void insert(benchmark::State &state) {
    const key_set &keys = keys_for(state.range(0));
    for (auto _ : state) {
        auto map = std::make_unique<Map>();
        uint64_t value = 0;
        for (const std::string &k : keys.inserted) map->insert(k, value++);
        benchmark::ClobberMemory();
        state.PauseTiming();
        map.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * keys.bytes);
}

// The maps that lookups run on, one per kind and size, built once.
template <typename Map>
const Map &filled(int64_t n) {
    static std::map<int64_t, std::unique_ptr<Map>> maps;
    std::unique_ptr<Map> &map = maps[n];
    if (!map) {
        map = std::make_unique<Map>();
        uint64_t value = 0;
        for (const std::string &k : keys_for(n).inserted) map->insert(k, value++);
    }
    return *map;
}

// All of them are built before any benchmark runs, one after another on a
// fresh heap, so that each map's entries lie as compactly as a map built at
// start-up would have them. Built later, on the free lists that the insert
// benchmarks leave behind, one map might get its keys scattered and another
// not, and the lookups would time that instead.
[[maybe_unused]] const bool s_prebuilt = [] {
    for (const int64_t n : {1000, 100000}) {
        filled<tw_map>(n);
        filled<std_unordered_map>(n);
#ifdef TWRELAY_HAVE_ABSL
        filled<absl_flat_hash_map>(n);
#endif
    }
    return true;
}();

template <typename Map>
void lookup(benchmark::State &state, const std::vector<std::string> &queries, int64_t expect_found) {
    const Map &map = filled<Map>(state.range(0));
    int64_t found = 0;
    for (auto _ : state) {
        uint64_t sum = 0;
        found = 0;
        for (const std::string &k : queries) {
            uint64_t v = 0;
            if (map.find(k, &v)) {
                sum += v;
                ++found;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    if (found != expect_found) state.SkipWithError("lookups found the wrong number of keys");
    state.SetItemsProcessed(state.iterations() * int64_t(queries.size()));
    state.SetBytesProcessed(state.iterations() * keys_for(state.range(0)).bytes);
}

template <typename Map>
void lookup_hit(benchmark::State &state) {
    const key_set &keys = keys_for(state.range(0));
    lookup<Map>(state, keys.shuffled, state.range(0));
}

template <typename Map>
void lookup_miss(benchmark::State &state) {
    const key_set &keys = keys_for(state.range(0));
    lookup<Map>(state, keys.absent, 0);
}

// Each operation and size runs against every map back to back, so the
// anchors see the same machine load as the map they anchor.
#ifdef TWRELAY_HAVE_ABSL
#define HASHMAP_BENCH(fn, n)                                                                   \
    BENCHMARK_TEMPLATE(fn, tw_map)->Arg(n)->Unit(benchmark::kMicrosecond);                      \
    BENCHMARK_TEMPLATE(fn, std_unordered_map)->Arg(n)->Unit(benchmark::kMicrosecond);           \
    BENCHMARK_TEMPLATE(fn, absl_flat_hash_map)->Arg(n)->Unit(benchmark::kMicrosecond)
#else
#define HASHMAP_BENCH(fn, n)                                                                   \
    BENCHMARK_TEMPLATE(fn, tw_map)->Arg(n)->Unit(benchmark::kMicrosecond);                      \
    BENCHMARK_TEMPLATE(fn, std_unordered_map)->Arg(n)->Unit(benchmark::kMicrosecond)
#endif

HASHMAP_BENCH(insert, 1000);
HASHMAP_BENCH(insert, 100000);
HASHMAP_BENCH(lookup_hit, 1000);
HASHMAP_BENCH(lookup_hit, 100000);
HASHMAP_BENCH(lookup_miss, 1000);
HASHMAP_BENCH(lookup_miss, 100000);

}  // namespace
