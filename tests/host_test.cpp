// What a relay host may do. Several threads, each with its own hash map, ID
// table, configuration file and message text, all log at once while they
// reset the log's settings: every thread gets its own results, every line
// reaches the callback, standard error and the log file whole and in one
// order, the callback is never entered twice at once, and each
// once-per-process warning comes once (`make tsan-test` runs this under
// ThreadSanitizer). And the library, loaded as a module and unloaded three
// times with a log file opened each time, leaves no descriptor open.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "relay/config.h"
#include "relay/hashmap.h"
#include "relay/id_mapper.h"
#include "relay/log.h"
#include "relay/message_text.h"
#include "support/test_support.h"

namespace {

constexpr int kThreads = 4, kLines = 200;
const std::string kDir = testing::TempDir() + "twr_threads_" + std::to_string(getpid()), kLog = kDir + ".log";
std::atomic<int> g_inside{0}, g_overlaps{0};
std::vector<std::string> g_messages;

void record(void *, int, const char *message) {
    if (g_inside++ != 0) ++g_overlaps;
    g_messages.emplace_back(message);
    --g_inside;
}

// What thread t found, in one line.
std::string work(const std::string &t) {
    tw_hashmap_t map{};
    for (int i = 0; i < kLines; ++i) {
        const std::string key = t + "-" + std::to_string(i);
        tw_hashmap_set(&map, key.c_str(), uint64_t(i));
        if (i % 2 == 0) tw_hashmap_remove(&map, key.c_str());
        twr_log_info("%s", key.c_str());
        if (i % 50 == 0) twr_log_init(TWR_LOG_INFO, record, nullptr);
        if (i == kLines / 2) twr_log_set_file(kLog.c_str());
    }
    uint64_t value = 0;
    const int present = tw_hashmap_get(&map, (t + "-7").c_str(), &value), absent = tw_hashmap_get(&map, (t + "-8").c_str(), &value);
    std::string found = std::to_string(map.count) + " " + std::to_string(present) + std::to_string(value) + " " + std::to_string(absent);
    tw_hashmap_free(&map);

    auto *ids = new twr_idmap_t;
    idmap_init(ids);
    ids->next_id = TWR_ID_MAX;
    for (int i = 0; i < TWR_IDMAP_SLOTS; ++i) idmap_get_short(ids, (t + "/" + std::to_string(i)).c_str());
    found += " " + std::to_string(idmap_get_short(ids, (t + "/0").c_str())) + " " + idmap_get_snowflake(ids, 1) + " " +
             std::to_string(idmap_get_short(ids, "new"));
    delete ids;

    const std::string path = kDir + "/" + t;
    twrelay_config_t cfg, back;
    twrelay_config_defaults(&cfg);
    twrelay_config_defaults(&back);
    cfg.port = 3000;
    const int saved = twrelay_config_save(&cfg, path.c_str()), loaded = twrelay_config_load(&back, path.c_str());
    found += " " + std::to_string(saved) + std::to_string(loaded) + " " + std::to_string(back.port);
    std::remove(path.c_str());
    char text[16];
    return found + " " + std::string(text, tw_text_for_mac("**caf\xC3\xA9**", 9, text, sizeof text));
}

// The messages of the lines in text, "HH:MM:SS [LEVEL] " taken off; the
// lines that mark an opening of the log file are counted apart.
std::vector<std::string> messages_in(const std::string &text, int &openings) {
    static const std::regex line("^(\\d\\d:\\d\\d:\\d\\d \\[(INFO |WARN )\\] )?(.*)\n");
    std::vector<std::string> out;
    std::smatch m;
    for (auto at = text.cbegin(); std::regex_search(at, text.cend(), m, line); at = m[0].second) {
        if (m[1].matched) out.push_back(m[3]);
        else openings += m[3] == "--- Log opened ---";
    }
    return out;
}

TEST(Threads, EachGetsItsOwnResultsAndEveryLineIsLoggedWholeOnce) {
    ASSERT_EQ(mkdir(kDir.c_str(), 0700), 0);
    twr_log_init(TWR_LOG_INFO, record, nullptr);
    twr_log_set_file(kLog.c_str());
    std::string found[kThreads];
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&found, t] { found[t] = work("t" + std::to_string(t)); });
    for (auto &thread : threads) thread.join();
    twr_log_set_file(nullptr);
    int openings = 0;
    EXPECT_EQ(messages_in(testing::internal::GetCapturedStderr(), openings), g_messages);
    EXPECT_EQ(messages_in(test_support::read_file(kLog), openings), g_messages);
    EXPECT_EQ(openings, 1 + kThreads);
    EXPECT_EQ(g_overlaps, 0);

    std::vector<std::string> all = {"ID mapper: IDs wrapped around, some lookups may return stale results",
                                    "ID mapper: table full (4096 slots), some entities may not be visible on Mac"};
    for (int t = 0; t < kThreads; ++t) {
        const std::string name = "t" + std::to_string(t);
        EXPECT_EQ(found[t], "100 07 -1 65534 " + name + "/1 65535 00 3000 \x01" "caf\x8E\x01");
        for (int i = 0; i < kLines; ++i) all.push_back(name + "-" + std::to_string(i));
        all.insert(all.end(), {"Config saved to " + kDir + "/" + name, "Config loaded from " + kDir + "/" + name});
    }
    std::sort(all.begin(), all.end());
    std::sort(g_messages.begin(), g_messages.end());
    EXPECT_EQ(g_messages, all);
    std::remove(kLog.c_str());
    rmdir(kDir.c_str());
}

TEST(Unload, ClosesTheLogFileTheLibraryOpened) {
    auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    for (int round = 0; round < 3; ++round) {
        void *lib = dlopen(TWRELAY_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        reinterpret_cast<void (*)(const char *)>(dlsym(lib, "twr_log_set_file"))(kLog.c_str());
        EXPECT_EQ(descriptors(), before + 1) << "the log file is not open";
        ASSERT_EQ(dlclose(lib), 0);
        EXPECT_EQ(dlopen(TWRELAY_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
        EXPECT_EQ(descriptors(), before) << "round " << round;
    }
    EXPECT_EQ(test_support::read_file(kLog), "--- Log opened ---\n--- Log opened ---\n--- Log opened ---\n");
    std::remove(kLog.c_str());
}

}  // namespace
