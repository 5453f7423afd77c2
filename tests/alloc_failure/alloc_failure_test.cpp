// Every allocation site of the core, made to fail one at a time: each call
// must take exactly its documented failure path and leak nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "relay/config.h"
#include "relay/hashmap.h"
#include "relay/log.h"
#include "relay/markdown.h"
#include "relay/message_text.h"
#include "relay/twl.h"

// This program replaces malloc, calloc, realloc and free with wrappers over
// glibc's own entry points, which glibc itself (strdup included) and shared
// libraries such as cJSON then call too.
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *ptr, size_t size);
extern "C" void __libc_free(void *ptr);

namespace {

long g_countdown = -1;  // allocations to let through before the one that fails; -1: none fails
bool g_failed = false;  // the chosen allocation has failed
long g_blocks = 0;      // blocks allocated less blocks freed
size_t g_largest = 0;   // the largest request

// Requests above 1 GiB are refused, as by an exhausted system.
bool fail_now(size_t bytes) {
    g_largest = bytes > g_largest ? bytes : g_largest;
    if (g_countdown < 0 || g_countdown-- > 0) return bytes > (size_t(1) << 30);
    return g_failed = true;
}

void *counted(void *p) {
    g_blocks += p != nullptr;
    return p;
}

}  // namespace

extern "C" {
void *malloc(size_t size) { return fail_now(size) ? nullptr : counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return fail_now(count * size) ? nullptr : counted(__libc_calloc(count, size)); }
void *realloc(void *ptr, size_t size) {
    if (fail_now(size)) return nullptr;  // the old block stays as it was
    void *p = __libc_realloc(ptr, size);
    g_blocks -= ptr != nullptr && (p != nullptr || size == 0);
    return counted(p);
}
void free(void *ptr) {
    g_blocks -= ptr != nullptr;
    __libc_free(ptr);
}
}  // extern "C"

namespace {

// Returns what `call` returns, called with allocation n failing (none when
// n < 0); g_failed then tells whether the call reached allocation n.
template <typename Call>
auto armed(long n, Call call) {
    g_failed = false;
    g_largest = 0;
    g_countdown = n;
    const auto result = call();
    g_countdown = -1;
    return result;
}

std::string g_dir;  // a scratch directory per row

// A row sets up what it needs, makes its call through `armed`, checks the
// outcome and releases everything it got.
struct Row {
    const char *name;
    long allocations;  // made by the call; the sweep fails each in turn
    void (*run)(long n);
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// A failed builder gives a null frame and a length of 0.
template <auto build>
void builder(long n) {
    size_t len = 12345;
    uint8_t *frame = armed(n, [&] { return build(&len); });
    EXPECT_TRUE(g_failed ? frame == nullptr && len == 0 : frame != nullptr && len >= TWR_MSG_HEADER_SIZE);
    std::free(frame);
}

const uint8_t kBytes[4] = {1, 2, 3, 4};
void build_message(long n) {  // the out pointer stays untouched on failure
    uint8_t untouched = 0, *frame = &untouched;
    const size_t len = armed(n, [&] { return twl_build_message(&frame, 0x42, kBytes, sizeof kBytes); });
    EXPECT_TRUE(g_failed ? len == 0 && frame == &untouched : len == TWR_MSG_HEADER_SIZE + sizeof kBytes);
    if (!g_failed) std::free(frame);
}

// The frame's block, then its shrink, which keeps the frame when it fails.
void batch_shrink(long n) {
    twl_message m{};
    m.text = "hi";
    size_t len = 0;
    uint8_t *frame = armed(n, [&] { return twl_build_message_batch(&len, 1, &m, 1, 0, 0); });
    // id, flags, count; a record of ids 2+2, value32 4, flags 1, value16 2, name 2, text 2+2, value16_b 2
    EXPECT_TRUE(n == 0 ? frame == nullptr && len == 0 : frame != nullptr && len == TWR_MSG_HEADER_SIZE + 5 + 19);
    std::free(frame);
}

// Capacities above 2^31 are clamped to it: 16 GiB per array, which this
// program refuses whatever allocation the sweep fails.
void hashmap_init(long n) {
    tw_hashmap_t m;
    std::memset(&m, 0xA5, sizeof m);  // never initialised
    armed(n, [&] { return tw_hashmap_init(&m, UINT32_MAX), 0; });
    EXPECT_TRUE(m.keys == nullptr && m.values == nullptr && m.capacity == 0 && m.count == 0);
    EXPECT_EQ(g_largest, (size_t(1) << 31) * sizeof(uint64_t));
}

void hashmap_first_set(long n) {  // the set-up's two arrays, then the key copy
    tw_hashmap_t m{};
    const int rc = armed(n, [&] { return tw_hashmap_set(&m, "first", 1); });
    EXPECT_TRUE(g_failed ? rc == -1 && !tw_hashmap_has(&m, "first") : rc == 0 && m.capacity == 64);
    tw_hashmap_free(&m);
}

// Six keys at capacity 8 is the threshold: the seventh set copies its key,
// then doubles (two arrays, and a scratch list of hashes whose failure only
// makes the doubling hash each key as it places it). A failed doubling
// carries on in the old table: the eighth and ninth sets then fail theirs
// too, and the ninth finds the table full.
void hashmap_set_at_the_threshold(long n) {
    const char *const keys[] = {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"};
    tw_hashmap_t m;
    tw_hashmap_init(&m, 8);
    for (uint64_t k = 0; k < 6; ++k) tw_hashmap_set(&m, keys[k], k);
    char **const before = m.keys;
    const int rc = armed(n, [&] { return tw_hashmap_set(&m, keys[6], 6); });
    EXPECT_EQ(rc, g_failed && n == 0 ? -1 : 0);  // only the failed copy refuses, and changes nothing
    EXPECT_TRUE(rc == 0 ? tw_hashmap_has(&m, keys[6]) : m.keys == before && m.capacity == 8 && m.count == 6);
    for (uint64_t k = 0, v = 77; k < 6; ++k) EXPECT_TRUE(tw_hashmap_get(&m, keys[k], &v) == 0 && v == k);
    for (int k = 7; m.capacity == 8 && rc == 0 && k < 9; ++k) {
        const long blocks = g_blocks;
        EXPECT_EQ(armed(1, [&] { return tw_hashmap_set(&m, keys[k], 1); }), k == 7 ? 0 : -1);
        EXPECT_TRUE(g_failed && m.capacity == 8 && m.count == 8 && tw_hashmap_get(&m, "absent", nullptr) == -1);
        EXPECT_EQ(g_blocks, blocks + (k == 7));  // a refused copy is released with the doubling's other array
    }
    tw_hashmap_free(&m);
}

// A list item makes the text grow, so the pass reads it from a working copy;
// without one it formats in place. A failed copy leaves the message as it came.
template <bool kList>
void markdown(long n) {
    const char *message = kList ? "**bold** and\n- a **list**" : "**bold** and - not a list, in a line the vector scan reads";
    const size_t size = std::strlen(message) + 1;
    char buf[64];
    std::memcpy(buf, message, size);
    const size_t len = armed(n, [&] { return tw_format_markdown(buf, size - 1, sizeof buf); });
    // "**bold**" becomes 01 "bold" 01, "- " at line start two spaces, A5 and a space
    EXPECT_EQ(len, size - (g_failed ? 1 : 3));
    EXPECT_EQ(std::memcmp(buf, message, size) == 0, g_failed);
}

void message_text(long n) {  // a working buffer from the heap: never unconverted text
    std::string message;
    while (message.size() < 20000) message += "caf\xC3\xA9 **ok** ";
    char out[64];
    const size_t len = armed(n, [&] { return tw_text_for_mac(message.data(), message.size(), out, sizeof out); });
    EXPECT_EQ(g_failed ? 0 : 0x8E, static_cast<unsigned char>(out[g_failed ? 0 : 3]));  // "é" in Mac OS Roman
    EXPECT_EQ(len == 0, g_failed);
}

std::string read_text(const std::string &path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The file's text, then cJSON's: the root, two members, their names, the
// string's text and the number's digits. A parse that runs out of memory has
// no value, which the load reports as TWR_ERR_CONFIG.
void config_load(long n) {
    const std::string path = g_dir + "/config.json";
    std::ofstream(path) << R"({"bind_host": "10.0.0.1", "port": 5555})";
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const twrelay_config_t before = cfg;
    const int rc = armed(n, [&] { return twrelay_config_load(&cfg, path.c_str()); });
    EXPECT_EQ(rc, !g_failed ? TWR_OK : n == 0 ? TWR_ERR_NOMEM : TWR_ERR_CONFIG);
    EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg) == 0, g_failed);
}

// cJSON's: the object, 14 members, their names and two strings' texts (31),
// the printed text and its two growths; then the temporary file's name and
// the directory's name for its sync, which is best effort. A member that
// cannot be added is TWR_ERR_NOMEM, never a file that lacks it.
void config_save(long n) {
    const std::string path = g_dir + "/config.json";
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    EXPECT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
    std::string old = read_text(path), whole = old;
    whole.replace(whole.find("2002"), 4, "9999");
    cfg.port = 9999;
    const int rc = armed(n, [&] { return twrelay_config_save(&cfg, path.c_str()); });
    EXPECT_TRUE(rc == TWR_OK || rc == TWR_ERR_NOMEM) << rc;
    EXPECT_EQ(read_text(path), rc == TWR_OK ? whole : old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(g_dir), {}), 1);  // no temporary left
}

const Row kRows[] = {
    {"build_message_leaves_the_out_pointer", 1, build_message},
    // The typed builders share their sites: status stands for those that
    // write their payload on the stack, the guild list for those (the lists,
    // the batch, message create and update, image data) that write it into
    // the frame's block, which a batch shrinks to fit.
    {"pong", 1, builder<twl_build_pong>},
    {"status", 1, builder<[](size_t *n) { return twl_build_status(n, 1, 2, "ok"); }>},
    {"guild_list", 1, builder<[](size_t *n) { return twl_build_guild_list(n, nullptr, 0); }>},
    {"batch_shrink_that_fails_keeps_the_frame", 2, batch_shrink},
    {"hashmap_init_clamps_above_2_to_31_and_a_failed_one_leaves_a_zero_filled_record", 2, hashmap_init},
    {"hashmap_first_set_of_a_zero_filled_record", 3, hashmap_first_set},
    {"hashmap_copies_the_key_first_and_failed_doublings_carry_on_until_full", 4, hashmap_set_at_the_threshold},
    {"markdown_of_a_list", 1, markdown<true>},
    {"markdown_without_a_list_item_allocates_nothing", 0, markdown<false>},
    {"message_text", 1, message_text},
    {"config_load_fails_inside_cjson", 8, config_load},
    {"config_save_of_a_half_built_object_is_nomem", 36, config_save},
};

class AllocFailure : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        twr_log_set_level(TWR_LOG_ERROR);  // no notice per saved file
        char tmpl[] = "/tmp/twrelay-alloc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(g_dir); }
};

TEST_P(AllocFailure, FailsEachAllocationInTurn) {
    long n = 0;
    do {
        g_blocks = 0;
        GetParam().run(n);
        EXPECT_EQ(g_blocks, 0) << "blocks left after failing allocation " << n;
    } while (g_failed && ++n < 1000);
    EXPECT_EQ(n, GetParam().allocations);
}

INSTANTIATE_TEST_SUITE_P(EverySite, AllocFailure, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
