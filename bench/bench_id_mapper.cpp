// The ID mapper's text lookup against the plain scan it replaces: one strcmp
// per filled slot over the same table, measured in the same run. Read the
// figures as ratios of each pair (Hit, Miss, Fill).
#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "relay/id_mapper.h"
#include "relay/log.h"

namespace {

struct Text {
    char s[24];
};

// 19-digit snowflakes a few milliseconds apart: like real ones, they share
// their leading digits, which is the worst case for a byte-wise comparison.
const std::vector<Text> &texts() {
    static const std::vector<Text> all = [] {
        std::vector<Text> v(TWR_IDMAP_SLOTS);
        for (size_t i = 0; i < v.size(); ++i) {
            const uint64_t snowflake = 1150000000000000000ULL + i * 9876543211ULL + (i * 7919) % 4096;
            std::snprintf(v[i].s, sizeof v[i].s, "%" PRIu64, snowflake);
        }
        return v;
    }();
    return all;
}

constexpr const char *kAbsent = "1149999999999999999";

// The lookup the mapper would do without word compares.
uint16_t plain_get_short(twr_idmap_t *map, const char *text) {
    for (int32_t i = 0; i < map->count; ++i) {
        if (std::strcmp(map->snowflakes[i], text) == 0) return map->short_ids[i];
    }
    if (map->count >= TWR_IDMAP_SLOTS) return TWR_ID_NONE;
    const int32_t slot = map->count++;
    std::strncpy(map->snowflakes[slot], text, sizeof map->snowflakes[slot] - 1);
    map->short_ids[slot] = map->next_id;
    map->next_id = map->next_id == TWR_ID_MAX ? 1 : uint16_t(map->next_id + 1);
    return map->short_ids[slot];
}

using GetShort = uint16_t (*)(twr_idmap_t *, const char *);

const twr_idmap_t &full_table() {
    static const std::unique_ptr<twr_idmap_t> map = [] {
        twr_log_set_level(TWR_LOG_ERROR);  // keep the table-full warning out of the report
        auto m = std::make_unique<twr_idmap_t>();
        idmap_init(m.get());
        for (const Text &t : texts()) idmap_get_short(m.get(), t.s);
        return m;
    }();
    return *map;
}

constexpr int64_t kTableBytes = int64_t{TWR_IDMAP_SLOTS} * 24;

// Every text in turn, so the average hit scans half the table.
void hit(benchmark::State &state, GetShort get_short) {
    auto map = std::make_unique<twr_idmap_t>(full_table());
    const std::vector<Text> &all = texts();
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(get_short(map.get(), all[next].s));
        next = next + 1 == all.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kTableBytes / 2);
}

void miss(benchmark::State &state, GetShort get_short) {
    auto map = std::make_unique<twr_idmap_t>(full_table());
    for (auto _ : state) benchmark::DoNotOptimize(get_short(map.get(), kAbsent));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kTableBytes);
}

// From empty to full: 4096 misses on a growing table, then 4096 inserts.
void fill(benchmark::State &state, GetShort get_short) {
    auto map = std::make_unique<twr_idmap_t>();
    const std::vector<Text> &all = texts();
    for (auto _ : state) {
        idmap_init(map.get());
        for (const Text &t : all) benchmark::DoNotOptimize(get_short(map.get(), t.s));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * TWR_IDMAP_SLOTS);
    state.SetBytesProcessed(state.iterations() * kTableBytes * (TWR_IDMAP_SLOTS - 1) / 2);
}

BENCHMARK_CAPTURE(hit, word_scan, idmap_get_short);
BENCHMARK_CAPTURE(hit, plain_strcmp, plain_get_short);
BENCHMARK_CAPTURE(miss, word_scan, idmap_get_short);
BENCHMARK_CAPTURE(miss, plain_strcmp, plain_get_short);
BENCHMARK_CAPTURE(fill, word_scan, idmap_get_short)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(fill, plain_strcmp, plain_get_short)->Unit(benchmark::kMillisecond);

}  // namespace
