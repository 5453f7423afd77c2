// The ID mapper's text lookup against the plain scan it replaces: one strcmp
// per filled slot over the same table, measured in the same run. Read the
// figures as ratios of each pair (Hit, Miss, Fill) on the same texts.
//
//   spread         19-digit snowflakes hours apart: they share their first
//                  five digits and differ from the sixth on
//   shared_prefix  snowflakes issued within one second, as a busy channel
//                  receives them: the timestamp in the high bits is nearly
//                  the same, so they share their first nine digits and
//                  differ only in the last ten
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

// Every set holds TWR_IDMAP_SLOTS texts and one more that none of them
// equals, for the misses.
struct TextSet {
    std::vector<Text> present;
    Text absent;
};

Text decimal(uint64_t snowflake) {
    Text t;
    std::snprintf(t.s, sizeof t.s, "%" PRIu64, snowflake);
    return t;
}

TextSet spread() {
    TextSet set;
    for (uint64_t i = 0; i < TWR_IDMAP_SLOTS; ++i)
        set.present.push_back(decimal(1150000000000000000ULL + i * 9876543211ULL + (i * 7919) % 4096));
    set.absent = decimal(1149999999999999999ULL);
    return set;
}

// A snowflake is milliseconds since 2015 shifted up 22 bits, then 5 bits of
// worker, 5 of process and a 12-bit counter. Here four messages arrive per
// millisecond from three workers, starting mid-2024.
uint64_t snowflake(uint64_t ms, uint64_t worker, uint64_t counter) {
    return ms << 22 | worker << 17 | (counter & 0xFFF);
}

TextSet shared_prefix() {
    constexpr uint64_t kStartMs = 297'000'000'000ULL;
    TextSet set;
    for (uint64_t i = 0; i < TWR_IDMAP_SLOTS; ++i)
        set.present.push_back(decimal(snowflake(kStartMs + i / 4, i % 3, i)));
    set.absent = decimal(snowflake(kStartMs + TWR_IDMAP_SLOTS / 4, 0, 0));  // the next message
    return set;
}

const TextSet &texts(int which) {
    static const TextSet sets[] = {spread(), shared_prefix()};
    return sets[which];
}

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

std::unique_ptr<twr_idmap_t> full_table(int which) {
    twr_log_set_level(TWR_LOG_ERROR);  // keep the table-full warning out of the report
    auto map = std::make_unique<twr_idmap_t>();
    idmap_init(map.get());
    for (const Text &t : texts(which).present) idmap_get_short(map.get(), t.s);
    return map;
}

constexpr int64_t kTableBytes = int64_t{TWR_IDMAP_SLOTS} * 24;

// Every text in turn, so the average hit scans half the table.
void hit(benchmark::State &state, GetShort get_short, int which) {
    auto map = full_table(which);
    const std::vector<Text> &all = texts(which).present;
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(get_short(map.get(), all[next].s));
        next = next + 1 == all.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kTableBytes / 2);
}

void miss(benchmark::State &state, GetShort get_short, int which) {
    auto map = full_table(which);
    const char *absent = texts(which).absent.s;
    for (auto _ : state) {
        if (get_short(map.get(), absent) != TWR_ID_NONE) {
            state.SkipWithError("the absent text was found");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kTableBytes);
}

// From empty to full: 4096 misses on a growing table, then 4096 inserts.
void fill(benchmark::State &state, GetShort get_short, int which) {
    auto map = std::make_unique<twr_idmap_t>();
    const std::vector<Text> &all = texts(which).present;
    for (auto _ : state) {
        idmap_init(map.get());
        for (const Text &t : all) benchmark::DoNotOptimize(get_short(map.get(), t.s));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * TWR_IDMAP_SLOTS);
    state.SetBytesProcessed(state.iterations() * kTableBytes * (TWR_IDMAP_SLOTS - 1) / 2);
}

constexpr int kSpread = 0;
constexpr int kSharedPrefix = 1;

BENCHMARK_CAPTURE(hit, word_scan/spread, idmap_get_short, kSpread);
BENCHMARK_CAPTURE(hit, plain_strcmp/spread, plain_get_short, kSpread);
BENCHMARK_CAPTURE(miss, word_scan/spread, idmap_get_short, kSpread);
BENCHMARK_CAPTURE(miss, plain_strcmp/spread, plain_get_short, kSpread);
BENCHMARK_CAPTURE(fill, word_scan/spread, idmap_get_short, kSpread)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(fill, plain_strcmp/spread, plain_get_short, kSpread)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hit, word_scan/shared_prefix, idmap_get_short, kSharedPrefix);
BENCHMARK_CAPTURE(hit, plain_strcmp/shared_prefix, plain_get_short, kSharedPrefix);
BENCHMARK_CAPTURE(miss, word_scan/shared_prefix, idmap_get_short, kSharedPrefix);
BENCHMARK_CAPTURE(miss, plain_strcmp/shared_prefix, plain_get_short, kSharedPrefix);
BENCHMARK_CAPTURE(fill, word_scan/shared_prefix, idmap_get_short, kSharedPrefix)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(fill, plain_strcmp/shared_prefix, plain_get_short, kSharedPrefix)->Unit(benchmark::kMillisecond);

}  // namespace
