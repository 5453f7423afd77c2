// Frame builders beside memcpy of the same payload bytes, in the same run:
// a batch of 25 chat messages of about 200 bytes each, a guild list of 100
// entries and a 64 KiB image. Read each builder as a ratio to its memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/twl.h"

namespace {

// Owns the strings the records point into.
struct BatchInput {
    std::vector<std::string> texts;
    std::vector<twl_message> messages;
};

const BatchInput &batch_input() {
    static const BatchInput input = [] {
        BatchInput in;
        in.texts.reserve(4 * 25);
        for (int k = 0; k < 25; ++k) {
            const std::string &name = in.texts.emplace_back("member" + std::to_string(k));
            std::string body = "Message " + std::to_string(k) + ": ";
            while (body.size() < 150) body += "the quick brown fox jumps over the lazy dog ";
            body.resize(150u - 10u + size_t(k % 20));
            const std::string &text = in.texts.emplace_back(body);
            twl_message m{};
            m.id = uint16_t(100 + k);
            m.id_b = 7;
            m.value32 = 1700000000u + uint32_t(k);
            m.value16 = uint16_t(k);
            m.name = name.c_str();
            m.text = text.c_str();
            m.value16_b = 3;
            if (k % 3 == 0) {  // an attachment
                m.item_id = uint16_t(500 + k);
                m.item_name = in.texts.emplace_back("photo_" + std::to_string(k) + ".jpg").c_str();
            }
            if (k % 4 == 0) {  // a reply
                m.flags = 0x04;
                m.trailer_name = name.c_str();
                m.trailer_text = in.texts.emplace_back("quoted words of the earlier message").c_str();
            }
            in.messages.push_back(m);
        }
        return in;
    }();
    return input;
}

struct GuildInput {
    std::vector<std::string> names;
    std::vector<twl_guild_entry> entries;
};

const GuildInput &guild_input() {
    static const GuildInput input = [] {
        GuildInput in;
        in.names.reserve(100);
        for (int k = 0; k < 100; ++k) {
            const std::string &name = in.names.emplace_back("Guild of the " + std::to_string(k) + "th kind");
            in.entries.push_back({uint16_t(k + 1), name.c_str(), uint8_t(k % 4), uint16_t(k * 3)});
        }
        return in;
    }();
    return input;
}

const std::vector<uint8_t> &image_input() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(64 * 1024);
        for (size_t k = 0; k < d.size(); ++k) d[k] = uint8_t(k * 131 + 7);
        return d;
    }();
    return data;
}

uint8_t *build_batch(size_t *len) {
    const BatchInput &in = batch_input();
    return twl_build_message_batch(len, 1, in.messages.data(), uint16_t(in.messages.size()), 1, 0);
}
uint8_t *build_guilds(size_t *len) {
    const GuildInput &in = guild_input();
    return twl_build_guild_list(len, in.entries.data(), uint16_t(in.entries.size()));
}
uint8_t *build_image(size_t *len) {
    const std::vector<uint8_t> &data = image_input();
    return twl_build_image_data(len, 1, 2, 3, 4, 640, 480, 0, data.data(), uint32_t(data.size()));
}

template <uint8_t *(*Build)(size_t *)>
void BM_Build(benchmark::State &state) {
    size_t len = 0;
    for (auto _ : state) {
        uint8_t *frame = Build(&len);
        benchmark::DoNotOptimize(frame);
        std::free(frame);
    }
    if (len == 0) state.SkipWithError("builder failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len - TWR_MSG_HEADER_SIZE));
}

// The anchor: one memcpy of the payload bytes the builder produces.
template <uint8_t *(*Build)(size_t *)>
void BM_Memcpy(benchmark::State &state) {
    size_t len = 0;
    uint8_t *frame = Build(&len);
    if (frame == nullptr) {
        state.SkipWithError("builder failed");
        return;
    }
    const std::vector<uint8_t> src(frame + TWR_MSG_HEADER_SIZE, frame + len);
    std::free(frame);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
    state.counters["payload_bytes"] = double(src.size());
}

// The batch's floor: each string of each record measured with strnlen to
// its field's maximum and copied, as a builder must do at the least.
void BM_BatchStrings(benchmark::State &state) {
    const BatchInput &in = batch_input();
    std::vector<char> dst(TWL_BATCH_MAX_PAYLOAD);
    const auto put = [&](size_t at, const char *s, size_t max) {
        if (s == nullptr) return at;
        const size_t n = strnlen(s, max);
        std::memcpy(dst.data() + at, s, n);
        return at + n;
    };
    for (auto _ : state) {
        size_t at = 0;
        for (const twl_message &m : in.messages) {
            at = put(at, m.name, TWL_MAX_MESSAGE_NAME);
            at = put(at, m.text, TWL_MAX_MESSAGE_TEXT);
            at = put(at, m.item_name, TWL_MAX_MESSAGE_ITEM_NAME);
            at = put(at, m.trailer_name, TWL_MAX_MESSAGE_TRAILER_NAME);
            at = put(at, m.trailer_text, TWL_MAX_MESSAGE_TRAILER_TEXT);
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Build<build_batch>)->Name("MessageBatch25");
BENCHMARK(BM_BatchStrings)->Name("MessageBatch25/strnlen_memcpy");
BENCHMARK(BM_Memcpy<build_batch>)->Name("MessageBatch25/memcpy");
BENCHMARK(BM_Build<build_guilds>)->Name("GuildList100");
BENCHMARK(BM_Memcpy<build_guilds>)->Name("GuildList100/memcpy");
BENCHMARK(BM_Build<build_image>)->Name("ImageData64K");
BENCHMARK(BM_Memcpy<build_image>)->Name("ImageData64K/memcpy");

}  // namespace
