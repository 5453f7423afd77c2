// The relay configuration: default paths from the environment, the exact
// saved text, the load's type rules and merge, and the failure paths of both
// directions (the record and the previous file must survive every failure).
#include "relay/config.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "relay/log.h"

namespace {

std::optional<std::string> env_value(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void set_env(const char *name, const char *value) {
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}

std::vector<std::string> s_messages;
void capture(void *, int, const char *message) { s_messages.emplace_back(message); }

// A scratch directory per test, the environment and umask restored after it,
// and every log message captured.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/twrelay_config_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        saved_mask_ = umask(022);
        s_messages.clear();
        twr_log_init(TWR_LOG_INFO, capture, nullptr);
    }
    void TearDown() override {
        twr_log_init(TWR_LOG_INFO, nullptr, nullptr);
        umask(saved_mask_);
        set_env("XDG_CONFIG_HOME", xdg_ ? xdg_->c_str() : nullptr);
        set_env("HOME", home_ ? home_->c_str() : nullptr);
        std::filesystem::remove_all(dir_);
    }

    std::string file(const std::string &name) const { return dir_ + "/" + name; }

    void write(const std::string &path, const std::string &bytes) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << path;
    }

    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::vector<std::string> listing(const std::string &sub = "") const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir_ + sub))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Loads `bytes` over a record whose every byte is set, and requires the
    // record to come back byte for byte when the load fails.
    void expect_load_refused(const std::string &bytes, const char *what) {
        const std::string path = file("refused.json");
        write(path, bytes);
        expect_path_refused(path.c_str(), what);
    }
    void expect_path_refused(const char *path, const char *what) {
        twrelay_config_t cfg;
        std::memset(&cfg, 0x5A, sizeof cfg);
        cfg.bind_host[63] = cfg.token_path[255] = cfg.config_path[255] = '\0';
        twrelay_config_t before;
        std::memcpy(&before, &cfg, sizeof cfg);
        s_messages.clear();
        EXPECT_EQ(twrelay_config_load(&cfg, path), TWR_ERR_CONFIG) << what;
        EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0) << what;
        EXPECT_TRUE(s_messages.empty()) << what;  // failures are returned, not logged
    }

    std::string dir_;
    mode_t saved_mask_ = 0;
    std::optional<std::string> xdg_ = env_value("XDG_CONFIG_HOME");
    std::optional<std::string> home_ = env_value("HOME");
};

mode_t mode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// ---- Defaults and default paths ----------------------------------------

TEST_F(Config, DefaultsClearEveryByteWhateverTheRecordHeld) {
    twrelay_config_t a, b;
    std::memset(&a, 0xAA, sizeof a);
    std::memset(&b, 0x55, sizeof b);
    twrelay_config_defaults(&a);
    twrelay_config_defaults(&b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_STREQ(a.bind_host, "0.0.0.0");
    EXPECT_EQ(a.port, 2002);
    EXPECT_EQ(a.setup_port, 2003);
}

TEST_F(Config, DefaultPathsFollowTheEnvironment) {
    struct Row {
        const char *xdg, *home, *config, *token;  // nullptr: variable unset
    };
    const Row rows[] = {
        {"/x", "/home/u", "/x/twrelay/config.json", "/x/twrelay/token.json"},
        {"/x", nullptr, "/x/twrelay/config.json", "/x/twrelay/token.json"},
        {"", "/home/u", "/home/u/.config/twrelay/config.json", "/home/u/.config/twrelay/token.json"},
        {nullptr, "/home/u", "/home/u/.config/twrelay/config.json", "/home/u/.config/twrelay/token.json"},
        {"", "", "/.config/twrelay/config.json", "/.config/twrelay/token.json"},
        {nullptr, "", "/.config/twrelay/config.json", "/.config/twrelay/token.json"},
        {"", nullptr, "./config.json", "./token.json"},
        {nullptr, nullptr, "./config.json", "./token.json"},
    };
    for (const Row &row : rows) {
        set_env("XDG_CONFIG_HOME", row.xdg);
        set_env("HOME", row.home);
        const std::string label = std::string("XDG=") + (row.xdg ? row.xdg : "(unset)") +
                                  " HOME=" + (row.home ? row.home : "(unset)");
        twrelay_config_t cfg;
        twrelay_config_defaults(&cfg);
        EXPECT_STREQ(cfg.config_path, row.config) << label;
        EXPECT_STREQ(cfg.token_path, row.token) << label;

        // set_default_paths alone rewrites the paths and nothing else.
        cfg.port = 1;
        std::strcpy(cfg.config_path, "stale");
        twrelay_config_set_default_paths(&cfg);
        EXPECT_STREQ(cfg.config_path, row.config) << label;
        EXPECT_EQ(cfg.port, 1) << label;
    }
}

TEST_F(Config, DefaultPathsAreCutTo255Bytes) {
    // 249 bytes of directory leave room for 6 more: "/confi" and "/token".
    const std::string xdg = "/" + std::string(240, 'a');
    set_env("XDG_CONFIG_HOME", xdg.c_str());
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    EXPECT_EQ(std::string(cfg.config_path), xdg + "/twrelay/confi");
    EXPECT_EQ(std::string(cfg.token_path), xdg + "/twrelay/token");
}

// ---- Save ---------------------------------------------------------------

TEST_F(Config, DefaultRecordSavesAsSixteenExactLines) {
    set_env("XDG_CONFIG_HOME", "/x");
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const std::string path = file("config.json");
    ASSERT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
    const std::string expected =
        "{\n"
        "\t\"bind_host\":\t\"0.0.0.0\",\n"
        "\t\"port\":\t2002,\n"
        "\t\"setup_port\":\t2003,\n"
        "\t\"max_clients\":\t4,\n"
        "\t\"log_level\":\t2,\n"
        "\t\"token_path\":\t\"/x/twrelay/token.json\",\n"
        "\t\"auto_start\":\tfalse,\n"
        "\t\"start_minimized\":\tfalse,\n"
        "\t\"run_on_boot\":\tfalse,\n"
        "\t\"avatar_size\":\t24,\n"
        "\t\"guild_icon_size\":\t32,\n"
        "\t\"max_attach_w\":\t200,\n"
        "\t\"max_attach_h\":\t200,\n"
        "\t\"max_msgs_per_fetch\":\t25\n"
        "}";
    EXPECT_EQ(read(path), expected);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(listing(), std::vector<std::string>{"config.json"});
    EXPECT_EQ(s_messages, std::vector<std::string>{"Config saved to " + path});
}

TEST_F(Config, SavedFileIsOwnerOnlyWhateverTheUmaskOrThePreviousMode) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const std::string path = file("config.json");
    write(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(0277)}) {
        umask(mask);
        ASSERT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
        EXPECT_EQ(mode_of(path), 0600u) << "umask " << mask;
    }
    EXPECT_EQ(read(path).substr(0, 3), "{\n\t");
}

TEST_F(Config, SaveEscapesStringsKeepsHighBytesAndWritesAnyNonZeroFlagAsTrue) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    std::strcpy(cfg.bind_host, "a\"b\\c\td\x01\xC3\xA9/");
    cfg.auto_start = 7;
    const std::string path = file("config.json");
    ASSERT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
    const std::string text = read(path);
    EXPECT_NE(text.find("{\n\t\"bind_host\":\t\"a\\\"b\\\\c\\td\\u0001\xC3\xA9/\",\n\t\"port\":"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n\t\"auto_start\":\ttrue,\n"), std::string::npos) << text;
}

TEST_F(Config, EveryStoredFieldSurvivesASaveAndALoad) {
    twrelay_config_t out;
    twrelay_config_defaults(&out);
    // The longest values each text field holds, with bytes that need escaping.
    const std::string host = std::string("h\"\\\t\n\x01\xC3\xA9") + std::string(63 - 8, 'z');
    const std::string token = "/t/\xE2\x80\x94" + std::string(255 - 6, 'k');
    std::memcpy(out.bind_host, host.c_str(), host.size() + 1);
    std::memcpy(out.token_path, token.c_str(), token.size() + 1);
    out.port = 65535;
    out.setup_port = 0;
    out.max_clients = INT32_MIN;
    out.log_level = INT32_MAX;
    out.auto_start = 1;
    out.start_minimized = 1;
    out.run_on_boot = 1;
    out.avatar_size = -24;
    out.guild_icon_size = 64;
    out.max_attach_w = 640;
    out.max_attach_h = 480;
    out.max_msgs_per_fetch = 100;
    const std::string path = file("config.json");
    ASSERT_EQ(twrelay_config_save(&out, path.c_str()), TWR_OK);

    twrelay_config_t in;
    twrelay_config_defaults(&in);
    std::strcpy(in.config_path, "/kept/config.json");  // never stored in the file
    ASSERT_EQ(twrelay_config_load(&in, path.c_str()), TWR_OK);
    EXPECT_EQ(std::string(in.bind_host), host);
    EXPECT_EQ(std::string(in.token_path), token);
    EXPECT_STREQ(in.config_path, "/kept/config.json");
    EXPECT_EQ(in.port, 65535);
    EXPECT_EQ(in.setup_port, 0);
    EXPECT_EQ(in.max_clients, INT32_MIN);
    EXPECT_EQ(in.log_level, INT32_MAX);
    EXPECT_EQ(in.auto_start, 1);
    EXPECT_EQ(in.start_minimized, 1);
    EXPECT_EQ(in.run_on_boot, 1);
    EXPECT_EQ(in.avatar_size, -24);
    EXPECT_EQ(in.guild_icon_size, 64);
    EXPECT_EQ(in.max_attach_w, 640);
    EXPECT_EQ(in.max_attach_h, 480);
    EXPECT_EQ(in.max_msgs_per_fetch, 100);
    EXPECT_EQ(s_messages.back(), "Config loaded from " + path);
}

TEST_F(Config, SaveCreatesOnlyTheLastDirectoryLevel) {
    umask(0);
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const std::string nested = file("new/config.json");
    ASSERT_EQ(twrelay_config_save(&cfg, nested.c_str()), TWR_OK);
    EXPECT_EQ(mode_of(file("new")), 0755u);
    EXPECT_EQ(listing("/new"), std::vector<std::string>{"config.json"});

    s_messages.clear();
    const std::string deep = file("a/b/config.json");
    EXPECT_EQ(twrelay_config_save(&cfg, deep.c_str()), TWR_ERR_IO);
    EXPECT_EQ(listing(), std::vector<std::string>{"new"});
    EXPECT_TRUE(s_messages.empty());
}

// A write that runs out of room must not cost the caller the file it had.
TEST_F(Config, WriteFailureKeepsThePreviousFileAndLeavesNoTemporary) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    cfg.port = 1111;
    const std::string path = file("config.json");
    ASSERT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
    const std::string before = read(path);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // 64 bytes is less than a saved record: the write stops with EFBIG.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        s_messages.clear();
        cfg.port = 2222;
        const int rc = twrelay_config_save(&cfg, path.c_str());
        _exit(-rc + (s_messages.empty() ? 0 : 100));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), -TWR_ERR_IO);  // 100 more would mean it logged
    EXPECT_EQ(read(path), before);
    EXPECT_EQ(listing(), std::vector<std::string>{"config.json"});
}

TEST_F(Config, RenameFailureLeavesTheTargetAndNoTemporary) {
    // A directory in the file's place cannot be renamed over.
    const std::string target = file("config.json");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    write(target + "/inside", "x");
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    EXPECT_EQ(twrelay_config_save(&cfg, target.c_str()), TWR_ERR_IO);
    EXPECT_EQ(listing(), std::vector<std::string>{"config.json"});
    EXPECT_EQ(listing("/config.json"), std::vector<std::string>{"inside"});
    EXPECT_TRUE(s_messages.empty());
}

// ---- Load ---------------------------------------------------------------

struct LoadRow {
    const char *json;
    int64_t (*field)(const twrelay_config_t &);
    int64_t expected;
};

int64_t port_of(const twrelay_config_t &c) { return c.port; }
int64_t setup_port_of(const twrelay_config_t &c) { return c.setup_port; }
int64_t max_clients_of(const twrelay_config_t &c) { return c.max_clients; }
int64_t log_level_of(const twrelay_config_t &c) { return c.log_level; }
int64_t avatar_size_of(const twrelay_config_t &c) { return c.avatar_size; }
int64_t max_attach_h_of(const twrelay_config_t &c) { return c.max_attach_h; }
int64_t max_msgs_of(const twrelay_config_t &c) { return c.max_msgs_per_fetch; }

class ConfigLoad : public Config, public ::testing::WithParamInterface<LoadRow> {};

TEST_P(ConfigLoad, MergesOneValueOverTheDefaults) {
    const LoadRow &row = GetParam();
    const std::string path = file("config.json");
    write(path, row.json);
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    ASSERT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK) << row.json;
    EXPECT_EQ(row.field(cfg), row.expected) << row.json;
}

// These rows also pin what the load takes from cJSON as Debian ships it
// (valueint cut toward zero and held to 32 bits, case-blind lookup where the
// first member wins, a skipped byte-order mark, text after the value
// ignored): a library update that changes any of them fails here.
INSTANTIATE_TEST_SUITE_P(
    TypeRules, ConfigLoad,
    ::testing::Values(
        // Numbers: cut toward zero, held to 32 bits, ports keep the low 16 bits.
        LoadRow{"{\"port\": 70000}", port_of, 4464}, LoadRow{"{\"port\": -1}", port_of, 65535},
        LoadRow{"{\"port\": 5555.9}", port_of, 5555}, LoadRow{"{\"port\": 1e10}", port_of, 65535},
        LoadRow{"{\"port\": -1e10}", port_of, 0}, LoadRow{"{\"setup_port\": 65536}", setup_port_of, 0},
        LoadRow{"{\"max_clients\": -7.9}", max_clients_of, -7},
        LoadRow{"{\"max_clients\": 1e10}", max_clients_of, 2147483647},
        LoadRow{"{\"max_clients\": -1e10}", max_clients_of, -2147483648LL},
        LoadRow{"{\"max_attach_h\": -5}", max_attach_h_of, -5},  // no range check
        // A value of another type is skipped.
        LoadRow{"{\"port\": \"5555\"}", port_of, 2002}, LoadRow{"{\"log_level\": true}", log_level_of, 2},
        LoadRow{"{\"log_level\": null}", log_level_of, 2}, LoadRow{"{\"avatar_size\": [48]}", avatar_size_of, 24},
        LoadRow{"{\"max_msgs_per_fetch\": {\"n\": 5}}", max_msgs_of, 25},
        // Keys: any ASCII case, the first of two wins, only top-level members.
        LoadRow{"{\"PORT\": 5555}", port_of, 5555}, LoadRow{"{\"Max_Clients\": 9}", max_clients_of, 9},
        LoadRow{"{\"port\": 1111, \"Port\": 2222}", port_of, 1111},
        LoadRow{"{\"inner\": {\"port\": 5555}}", port_of, 2002},
        // Text around the value: a byte-order mark and white space before it,
        // anything after it.
        LoadRow{"\xEF\xBB\xBF{\"port\": 5555}", port_of, 5555},
        LoadRow{" \n\t\r{\"port\": 5555}", port_of, 5555},
        LoadRow{"{\"port\": 5555} trailing {{{ text", port_of, 5555}));

TEST_F(Config, FlagsAreSetOnlyByTheLiteralTrue) {
    struct Row {
        const char *value;  // nullptr: the keys are absent
        int32_t from_zero, from_one;
    };
    const Row rows[] = {{"true", 1, 1},   {"false", 0, 0}, {"1", 0, 0},  {"\"true\"", 0, 0},
                        {"null", 0, 0},   {"[true]", 0, 0}, {"{}", 0, 0}, {nullptr, 0, 1}};
    const std::string path = file("config.json");
    for (const Row &row : rows) {
        const std::string v = row.value ? row.value : "";
        write(path, row.value ? "{\"auto_start\": " + v + ", \"Start_Minimized\": " + v + ", \"run_on_boot\": " + v + "}"
                              : "{\"port\": 2002}");
        for (int32_t start : {0, 1}) {
            twrelay_config_t cfg;
            twrelay_config_defaults(&cfg);
            cfg.auto_start = cfg.start_minimized = cfg.run_on_boot = start;
            ASSERT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK) << v;
            const int32_t want = start == 0 ? row.from_zero : row.from_one;
            EXPECT_EQ(cfg.auto_start, want) << v << " from " << start;
            EXPECT_EQ(cfg.start_minimized, want) << v << " from " << start;
            EXPECT_EQ(cfg.run_on_boot, want) << v << " from " << start;
        }
    }
}

TEST_F(Config, TextValuesAreCutToTheirFieldsAndConfigPathIsNeverRead) {
    const std::string path = file("config.json");
    write(path, "{\"bind_host\": \"" + std::string(100, 'h') + "\", \"token_path\": \"" + std::string(300, 't') +
                    "\", \"config_path\": \"/elsewhere\"}");
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const std::string config_path = cfg.config_path;
    ASSERT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK);
    EXPECT_EQ(std::string(cfg.bind_host), std::string(63, 'h'));
    EXPECT_EQ(std::string(cfg.token_path), std::string(255, 't'));
    EXPECT_EQ(std::string(cfg.config_path), config_path);

    write(path, "{\"bind_host\": 5, \"token_path\": \"\"}");
    ASSERT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK);
    EXPECT_EQ(std::string(cfg.bind_host), std::string(63, 'h'));  // wrong type: skipped
    EXPECT_STREQ(cfg.token_path, "");
}

TEST_F(Config, TopLevelValuesOtherThanAnObjectLoadAndChangeNothing) {
    const std::string path = file("config.json");
    for (const char *json : {"[{\"port\": 5555}]", "\"port\"", "5555", "true", "null"}) {
        write(path, json);
        twrelay_config_t cfg, before;
        twrelay_config_defaults(&cfg);
        std::memcpy(&before, &cfg, sizeof cfg);
        EXPECT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK) << json;
        EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0) << json;
    }
}

TEST_F(Config, FileSizeLimitIs65536BytesInclusive) {
    const std::string object = "{\"port\": 5555}";
    const std::string exact = object + std::string(65536 - object.size(), ' ');
    const std::string path = file("config.json");
    write(path, exact);
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    EXPECT_EQ(twrelay_config_load(&cfg, path.c_str()), TWR_OK);
    EXPECT_EQ(cfg.port, 5555);

    expect_load_refused(exact + " ", "65537 bytes");
    expect_load_refused("", "0 bytes");
}

TEST_F(Config, FailedLoadsLeaveTheRecordByteForByte) {
    expect_load_refused("this is not json {{{{", "not JSON");
    expect_load_refused("{\"port\": 5555", "unclosed object");
    expect_load_refused("{\"port\": 5555,}", "trailing comma");
    expect_load_refused("\xEF\xBB\xBF", "a byte-order mark alone");
    expect_load_refused(std::string("\0{\"port\": 5555}", 15), "text after a NUL is not read");
    expect_path_refused(file("missing.json").c_str(), "missing file");
    expect_path_refused(dir_.c_str(), "a directory");
    expect_path_refused(nullptr, "null path");
    twrelay_config_t cfg;
    EXPECT_EQ(twrelay_config_load(nullptr, file("missing.json").c_str()), TWR_ERR_CONFIG);
    twrelay_config_defaults(&cfg);
    EXPECT_EQ(twrelay_config_save(nullptr, file("x.json").c_str()), TWR_ERR_IO);
    EXPECT_EQ(twrelay_config_save(&cfg, nullptr), TWR_ERR_IO);
}

TEST_F(Config, LoadOfAFifoIsRefusedWithoutWaitingForAWriter) {
    const std::string fifo = file("config.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(10);  // a load that blocks ends the test program instead of hanging it
    expect_path_refused(fifo.c_str(), "a FIFO");
    alarm(0);
}

// ---- Running out of memory -----------------------------------------------

// Fails the JSON library's allocation number s_fail_at (counting from 0).
long s_allocations = 0;
long s_fail_at = -1;
void *failing_malloc(size_t size) {
    if (s_allocations++ == s_fail_at) return nullptr;
    return std::malloc(size);
}

TEST_F(Config, EveryAllocationFailureIsReportedAndHarmsNothing) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    const std::string path = file("config.json");
    ASSERT_EQ(twrelay_config_save(&cfg, path.c_str()), TWR_OK);
    const std::string before = read(path);
    cfg.port = 4444;

    cJSON_Hooks hooks{failing_malloc, std::free};
    cJSON_InitHooks(&hooks);
    int save_rc = TWR_ERR_NOMEM, load_rc = TWR_ERR_CONFIG;
    for (s_fail_at = 0; s_fail_at < 1000 && save_rc != TWR_OK; ++s_fail_at) {
        s_allocations = 0;
        save_rc = twrelay_config_save(&cfg, path.c_str());
        if (save_rc != TWR_OK) {
            // A member that could not be added must not be saved as missing.
            EXPECT_EQ(save_rc, TWR_ERR_NOMEM) << "allocation " << s_fail_at;
            EXPECT_EQ(read(path), before) << "allocation " << s_fail_at;
        }
    }
    for (s_fail_at = 0; s_fail_at < 1000 && load_rc != TWR_OK; ++s_fail_at) {
        s_allocations = 0;
        twrelay_config_t in, snapshot;
        twrelay_config_defaults(&in);
        std::memcpy(&snapshot, &in, sizeof in);
        load_rc = twrelay_config_load(&in, path.c_str());
        if (load_rc != TWR_OK) {
            EXPECT_EQ(std::memcmp(&in, &snapshot, sizeof in), 0) << "allocation " << s_fail_at;
        } else {
            EXPECT_EQ(in.port, 4444);
        }
    }
    cJSON_InitHooks(nullptr);
    EXPECT_EQ(save_rc, TWR_OK);
    EXPECT_EQ(load_rc, TWR_OK);
    EXPECT_EQ(listing(), std::vector<std::string>{"config.json"});
}

}  // namespace
