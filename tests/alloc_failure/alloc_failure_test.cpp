// Every allocation site of the core, made to fail one at a time: each
// operation must take exactly its documented failure path and leak nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "fault_injection.h"
#include "relay/config.h"
#include "relay/hashmap.h"
#include "relay/log.h"
#include "relay/markdown.h"
#include "relay/message_text.h"
#include "relay/twl.h"

namespace {

// Runs `op` with allocation n failing, for n = 0, 1, 2, ... until a run no
// longer reaches the failure (an `op` that must set something up first may
// disarm, prepare, and arm again with fault_index). `op` makes the call
// under test and keeps what it needs; `check(failed)` then judges the outcome with the allocator back
// to normal. Every run must leave no block behind. Returns the number of
// failing runs, i.e. the allocations the call makes.
long fault_index = 0;  // the allocation the current sweep run fails

int sweep(const std::function<void()> &op, const std::function<void(bool failed)> &check) {
    for (int n = 0; n < 10000; ++n) {
        fault_index = n;
        fault::start_tracking();
        fault::fail_nth(n);
        op();
        const bool delivered = fault::failure_delivered();
        fault::disarm();
        fault::stop_tracking();
        check(delivered);
        EXPECT_EQ(fault::leaked(), 0u) << "blocks left after failing allocation " << n;
        if (!delivered) return n;
    }
    ADD_FAILURE() << "the sweep never ended";
    return -1;
}

TEST(AllocFailure, HookFailsExactlyTheChosenAllocation) {
    fault::fail_nth(1);
    void *first = std::malloc(8);
    void *second = std::malloc(8);
    void *third = std::malloc(8);
    fault::disarm();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_TRUE(fault::failure_delivered());
    std::free(first);
    std::free(third);

    fault::start_tracking();
    void *kept = std::malloc(4);
    fault::stop_tracking();
    EXPECT_EQ(fault::leaked(), 1u);
    std::free(kept);
    EXPECT_EQ(fault::leaked(), 0u);
}

TEST(AllocFailure, BuildMessageLeavesTheOutPointer) {
    const uint8_t payload[2] = {0xAA, 0xBB};
    uint8_t sentinel = 0;
    uint8_t *frame = nullptr;
    size_t len = 0;
    const int allocations = sweep(
        [&] {
            frame = &sentinel;
            len = twl_build_message(&frame, 0x42, payload, sizeof payload);
        },
        [&](bool failed) {
            if (failed) {
                EXPECT_EQ(len, 0u);
                EXPECT_EQ(frame, &sentinel);
            } else {
                EXPECT_EQ(len, 12u);
                std::free(frame);
            }
        });
    EXPECT_EQ(allocations, 1);
}

TEST(AllocFailure, PongGivesNullAndZero) {
    uint8_t *frame = nullptr;
    size_t len = 0;
    const int allocations = sweep(
        [&] {
            len = 77;
            frame = twl_build_pong(&len);
        },
        [&](bool failed) {
            if (failed) {
                EXPECT_EQ(frame, nullptr);
                EXPECT_EQ(len, 0u);
            } else {
                EXPECT_EQ(len, 10u);
                std::free(frame);
            }
        });
    EXPECT_EQ(allocations, 1);
}

// Every typed builder: a failed allocation, of its working area or of the
// frame, gives a null frame and a length of 0, and leaks nothing.
struct BuilderCase {
    const char *name;
    std::function<uint8_t *(size_t *)> build;
    int allocations;  // frame only, or working area and frame
};

const twl_guild_entry kGuilds[2] = {{1, "Guild", 1, 2}, {2, nullptr, 3, 4}};
const twl_member_entry kMembers[1] = {{5, "Member", 1, 2}};
const twl_dm_entry kDms[1] = {{6, "Dm", 2, 1}};
const twl_channel_entry kChannels[1] = {{7, 0, "general", 1, 3}};
const twl_voice_member kVoice[2] = {{8, "Vo", 1}, {9, "Ice", 0}};
const twl_message kMessage = {1, 2, 3, 0x04, 5, "name", "text", 6, "item", 7, "tn", "tt"};
const uint8_t kImage[4] = {1, 2, 3, 4};

const BuilderCase kBuilders[] = {
    {"handshake_ack", [](size_t *n) { return twl_build_handshake_ack(n, 1, 2, "hi"); }, 1},
    {"auth_result", [](size_t *n) { return twl_build_auth_result(n, 1, "a", "b", 3); }, 1},
    {"status", [](size_t *n) { return twl_build_status(n, 1, 2, "ok"); }, 1},
    {"error", [](size_t *n) { return twl_build_error(n, 1, 2, "bad"); }, 1},
    {"gateway_state", [](size_t *n) { return twl_build_gateway_state(n, 2); }, 1},
    {"guild_list", [](size_t *n) { return twl_build_guild_list(n, kGuilds, 2); }, 2},
    {"member_list", [](size_t *n) { return twl_build_member_list(n, kMembers, 1); }, 2},
    {"dm_list", [](size_t *n) { return twl_build_dm_list(n, kDms, 1); }, 2},
    {"channel_list", [](size_t *n) { return twl_build_channel_list(n, 9, kChannels, 1); }, 2},
    {"message_batch", [](size_t *n) { return twl_build_message_batch(n, 9, &kMessage, 1, 1, 0); }, 2},
    {"message_create", [](size_t *n) { return twl_build_message_create(n, 9, &kMessage); }, 2},
    {"message_delete", [](size_t *n) { return twl_build_message_delete(n, 1, 2); }, 1},
    {"message_update", [](size_t *n) { return twl_build_message_update(n, 1, 2, "edited"); }, 2},
    {"typing_start", [](size_t *n) { return twl_build_typing_start(n, 1, "Ann"); }, 1},
    {"unread_update", [](size_t *n) { return twl_build_unread_update(n, 1, 2, 3); }, 1},
    {"image_data", [](size_t *n) { return twl_build_image_data(n, 1, 2, 3, 4, 5, 6, 7, kImage, 4); }, 2},
    {"voice_status", [](size_t *n) { return twl_build_voice_status(n, 1, 2, "Room"); }, 1},
    {"voice_members", [](size_t *n) { return twl_build_voice_members(n, 1, kVoice, 2); }, 2},
    {"voice_speaking", [](size_t *n) { return twl_build_voice_speaking(n, 1, 1); }, 1},
    {"voice_error", [](size_t *n) { return twl_build_voice_error(n, 1, "no"); }, 1},
};

TEST(AllocFailure, EveryBuilderGivesNullAndZero) {
    for (const BuilderCase &c : kBuilders) {
        SCOPED_TRACE(c.name);
        uint8_t *frame = nullptr;
        size_t len = 0;
        const int allocations = sweep(
            [&] {
                len = 12345;
                frame = c.build(&len);
            },
            [&](bool failed) {
                if (failed) {
                    EXPECT_EQ(frame, nullptr);
                    EXPECT_EQ(len, 0u);
                } else {
                    ASSERT_NE(frame, nullptr);
                    uint8_t type = 0;
                    uint32_t payload_len = 0;
                    EXPECT_EQ(twl_decode_header(frame, len, &type, &payload_len), TWR_OK);
                    EXPECT_EQ(payload_len + TWR_MSG_HEADER_SIZE, len);
                    std::free(frame);
                }
            });
        EXPECT_EQ(allocations, c.allocations);
    }
}

// ---- Hash map ----

bool zero_filled(const tw_hashmap_t &m) {
    return m.keys == nullptr && m.values == nullptr && m.capacity == 0 && m.count == 0;
}

TEST(AllocFailure, HashmapInitLeavesAZeroFilledRecord) {
    tw_hashmap_t m{};
    const int allocations = sweep([&] { tw_hashmap_init(&m, 16); },
                                  [&](bool failed) {
                                      if (failed) {
                                          EXPECT_TRUE(zero_filled(m));
                                      } else {
                                          EXPECT_EQ(m.capacity, 16u);
                                          tw_hashmap_free(&m);
                                      }
                                  });
    EXPECT_EQ(allocations, 2);  // the key array and the value array
}

TEST(AllocFailure, HashmapFirstSetFailsWholly) {
    tw_hashmap_t m{};
    int rc = 0;
    const int allocations = sweep([&] { rc = tw_hashmap_set(&m, "first", 1); },
                                  [&](bool failed) {
                                      if (failed) {
                                          // The implicit set-up or the key copy failed: -1,
                                          // and the record is an empty map still.
                                          EXPECT_EQ(rc, -1);
                                          EXPECT_EQ(m.count, 0u);
                                          EXPECT_FALSE(tw_hashmap_has(&m, "first"));
                                      } else {
                                          EXPECT_EQ(rc, 0);
                                          EXPECT_EQ(m.capacity, 64u);
                                      }
                                      tw_hashmap_free(&m);
                                  });
    EXPECT_EQ(allocations, 3);
}

TEST(AllocFailure, HashmapGrowthAndKeyCopyKeepEveryEarlierKey) {
    // Six keys at capacity 8 is the threshold: the seventh set doubles first.
    const char *const keys[6] = {"k0", "k1", "k2", "k3", "k4", "k5"};
    tw_hashmap_t m{};
    int rc = 0;
    int grow_failures = 0, copy_failures = 0;
    const int allocations = sweep(
        [&] {
            fault::disarm();  // the set-up below must succeed
            tw_hashmap_init(&m, 8);
            for (int k = 0; k < 6; ++k) tw_hashmap_set(&m, keys[k], uint64_t(k));
            fault::stop_tracking();
            fault::start_tracking();
            fault::fail_nth(fault_index);
            rc = tw_hashmap_set(&m, "new", 99);
        },
        [&](bool failed) {
            for (int k = 0; k < 6; ++k) {
                uint64_t value = 77;
                EXPECT_EQ(tw_hashmap_get(&m, keys[k], &value), 0) << keys[k];
                EXPECT_EQ(value, uint64_t(k));
            }
            if (failed && rc == -1) {
                // The key is copied before anything changes: -1, the map as it was.
                ++copy_failures;
                EXPECT_EQ(m.capacity, 8u);
                EXPECT_EQ(m.count, 6u);
                EXPECT_FALSE(tw_hashmap_has(&m, "new"));
            } else if (failed && m.capacity == 8) {
                // The doubling ran out of memory: the set carried on in the old table.
                ++grow_failures;
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(m.count, 7u);
                EXPECT_TRUE(tw_hashmap_has(&m, "new"));
            } else {
                // Doubled; a failure in the doubling's optional scratch list
                // only makes it hash each key as it is placed.
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(m.capacity, 16u);
                EXPECT_EQ(m.count, 7u);
                EXPECT_TRUE(tw_hashmap_has(&m, "new"));
            }
            tw_hashmap_free(&m);
        });
    EXPECT_EQ(allocations, 4);  // the key copy, the doubling's two arrays and its scratch list
    EXPECT_EQ(grow_failures, 2);
    EXPECT_EQ(copy_failures, 1);
}

// ---- Text ----

TEST(AllocFailure, MarkdownKeepsTheMessageAsItCame) {
    const char message[] = "**bold** and - not a list";
    const size_t len = sizeof message - 1;
    char buf[64];
    size_t n = 0;
    const int allocations = sweep(
        [&] {
            std::memcpy(buf, message, sizeof message);
            n = tw_format_markdown(buf, len, sizeof buf);
        },
        [&](bool failed) {
            if (failed) {
                EXPECT_EQ(n, len);
                EXPECT_EQ(std::memcmp(buf, message, sizeof message), 0);
            } else {
                EXPECT_EQ(n, len - 2);  // "**bold**" became 01 "bold" 01
                EXPECT_EQ(buf[0], TW_CTRL_BOLD);
            }
        });
    EXPECT_EQ(allocations, 1);
}

TEST(AllocFailure, MessageTextNeverPassesUnconvertedText) {
    // Long enough to need a working buffer from the heap.
    std::string message;
    while (message.size() < 20000) message += "caf\xC3\xA9 **ok** ";
    char out[64];
    size_t n = 0;
    const int allocations = sweep(
        [&] {
            std::memset(out, 'x', sizeof out);
            n = tw_text_for_mac(message.data(), message.size(), out, sizeof out);
        },
        [&](bool failed) {
            if (failed) {
                EXPECT_EQ(n, 0u);
                EXPECT_EQ(out[0], '\0');
            } else {
                EXPECT_GT(n, sizeof out);
                EXPECT_EQ(static_cast<unsigned char>(out[3]), 0x8E);
            }
        });
    EXPECT_EQ(allocations, 1);
}

// ---- Configuration ----

class ConfigAllocFailure : public ::testing::Test {
protected:
    void SetUp() override {
        twr_log_set_level(TWR_LOG_ERROR);  // no notice per successful run
        char tmpl[] = "/tmp/twrelay-alloc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/config.json";
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        twr_log_set_level(TWR_LOG_INFO);
    }
    std::string read_back() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t files_in_dir() const {
        size_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(dir_)) n += entry.is_regular_file() ? 1 : 0;
        return n;
    }
    std::string dir_, path_;
};

TEST_F(ConfigAllocFailure, LoadLeavesTheRecordUntouched) {
    {
        std::ofstream out(path_);
        out << R"({"bind_host": "10.0.0.1", "port": 5555, "token_path": "/t", "auto_start": true})";
    }
    twrelay_config_t cfg, before;
    int rc = 0;
    const int allocations = sweep(
        [&] {
            twrelay_config_defaults(&cfg);
            std::memcpy(&before, &cfg, sizeof cfg);
            rc = twrelay_config_load(&cfg, path_.c_str());
        },
        [&](bool failed) {
            if (failed) {
                // The file text reports NOMEM; a parse that runs out of
                // memory has no JSON value, which the load reports as
                // CONFIG. Either way the record keeps every byte.
                EXPECT_TRUE(rc == TWR_ERR_NOMEM || rc == TWR_ERR_CONFIG) << rc;
                EXPECT_EQ(std::memcmp(&before, &cfg, sizeof cfg), 0);
            } else {
                EXPECT_EQ(rc, TWR_OK);
                EXPECT_EQ(cfg.port, 5555);
                EXPECT_STREQ(cfg.bind_host, "10.0.0.1");
            }
        });
    EXPECT_GE(allocations, 5);  // the file text, then the parsed items
}

TEST_F(ConfigAllocFailure, FirstAllocationIsTheFileTextAndReportsNomem) {
    {
        std::ofstream out(path_);
        out << R"({"port": 5555})";
    }
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    fault::fail_nth(0);
    const int rc = twrelay_config_load(&cfg, path_.c_str());
    fault::disarm();
    EXPECT_EQ(rc, TWR_ERR_NOMEM);
    EXPECT_EQ(cfg.port, 2002);
}

TEST_F(ConfigAllocFailure, SaveNeverDamagesTheOldFile) {
    twrelay_config_t old_cfg;
    twrelay_config_defaults(&old_cfg);
    ASSERT_EQ(twrelay_config_save(&old_cfg, path_.c_str()), TWR_OK);
    const std::string old_text = read_back();

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    cfg.port = 9999;
    int rc = 0, failures_reported = 0;
    const int allocations = sweep([&] { rc = twrelay_config_save(&cfg, path_.c_str()); },
                                  [&](bool failed) {
                                      if (rc != TWR_OK) {
                                          // Memory ran out before the new file was in
                                          // place: the old one stays whole.
                                          EXPECT_TRUE(failed);
                                          EXPECT_EQ(rc, TWR_ERR_NOMEM);
                                          EXPECT_EQ(read_back(), old_text);
                                          ++failures_reported;
                                      } else {
                                          // Saved (a failed best-effort directory sync
                                          // changes nothing): the file holds the new record.
                                          EXPECT_NE(read_back().find("\"port\":\t9999"), std::string::npos);
                                          ASSERT_EQ(twrelay_config_save(&old_cfg, path_.c_str()), TWR_OK);
                                      }
                                      // No temporary file is ever left beside it.
                                      EXPECT_EQ(files_in_dir(), 1u);
                                  });
    EXPECT_GE(allocations, 15);  // the object, its members, the text, the name
    EXPECT_GE(failures_reported, allocations - 1);
}

}  // namespace
