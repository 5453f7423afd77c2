// The configuration's file format and environment: the saved text, the
// default paths (tests/data/config_paths.txt), how loaded values convert and
// which loads are refused (tests/data/config_load.txt), and how a save
// replaces the file. The fuzz
// harness checks round trips; alloc_failure/ covers running out of memory.
#include "relay/config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "relay/log.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const char *const kEnv[2] = {"XDG_CONFIG_HOME", "HOME"};
std::vector<std::string> g_log;

// A scratch directory and a default record per test, and every log message
// kept. The tests set the environment and the umask they need.
class Config : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/twrelay_config_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/config.json";
        umask(022);
        g_log.clear();
        twr_log_init(TWR_LOG_INFO, [](void *, int, const char *message) { g_log.emplace_back(message); }, nullptr);
        twrelay_config_defaults(&cfg_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    long entries() const { return std::distance(fs::directory_iterator(dir_), fs::directory_iterator()); }

    std::string dir_, path_;
    twrelay_config_t cfg_;
};

// The expected bytes are seeds of the configuration's fuzz corpus: the
// default record, then one whose strings need escaping and whose flag is 7.
TEST_F(Config, SavedTextIsTheSixteenLineFileWithStringsEscaped) {
    setenv("XDG_CONFIG_HOME", "/x", 1);
    twrelay_config_defaults(&cfg_);
    for (const std::string seed : {"default_file", "escapes"}) {
        ASSERT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_OK);
        EXPECT_EQ(test_support::read_file(path_), test_support::read_file(TWRELAY_SOURCE_DIR "/fuzz/corpus/config/" + seed));
        EXPECT_EQ(g_log.back(), "Config saved to " + path_);
        std::strcpy(cfg_.bind_host, "a\"b\\c\td\x01\xC3\xA9/");
        cfg_.auto_start = 7;
    }
}

TEST_F(Config, DefaultPathsFollowTheEnvironment) {
    for (const std::vector<std::string> &row : test_support::data_rows("config_paths.txt")) {
        for (int i = 0; i < 2; ++i) row.at(i) == "(unset)" ? unsetenv(kEnv[i]) : setenv(kEnv[i], row[i].c_str(), 1);
        twrelay_config_set_default_paths(&cfg_);
        EXPECT_EQ(cfg_.config_path, row.at(2) + "/config.json");
        EXPECT_EQ(cfg_.token_path, row[2] + "/token.json");
    }
}

std::string field(const twrelay_config_t &c, const std::string &key) {
    if (key == "bind_host") return c.bind_host;
    if (key == "token_path") return c.token_path;
    if (key == "config_path") return c.config_path;
    return std::to_string(key == "port" ? c.port : key == "max_clients" ? c.max_clients : c.auto_start);
}

// Each row of tests/data/config_load.txt, and the largest file and one byte
// more. What cJSON 1.7.15 gives for numbers, keys and the text around the
// value is pinned there: the file format relies on it. A refused load leaves
// the record as it was and logs nothing.
TEST_F(Config, LoadGivesEachRowItsValueOrIsRefused) {
    const std::string port = R"({"port": 5555})";
    std::vector<std::vector<std::string>> rows = test_support::data_rows("config_load.txt");
    ASSERT_GT(rows.size(), 25u);
    rows.push_back({"port", "5555", port + std::string(65536 - port.size(), ' ')});
    rows.push_back({"refused", "", port + std::string(65537 - port.size(), ' ')});
    for (const std::vector<std::string> &row : rows) {
        std::ofstream(path_, std::ios::binary) << row.at(2);
        twrelay_config_defaults(&cfg_);
        cfg_.auto_start = 1;
        std::strcpy(cfg_.config_path, "kept");
        const twrelay_config_t before = cfg_;
        const bool refused = row[0] == "refused";
        g_log.clear();
        EXPECT_EQ(twrelay_config_load(&cfg_, path_.c_str()), refused ? TWR_ERR_CONFIG : TWR_OK) << row[2];
        if (refused) EXPECT_EQ(std::memcmp(&cfg_, &before, sizeof cfg_), 0) << row[2];
        else EXPECT_EQ(field(cfg_, row[0]), row[1]) << row[2];
        EXPECT_EQ(g_log, std::vector<std::string>(!refused, "Config loaded from " + path_)) << row[2];
    }
}

// A FIFO would block a load; a directory is no file either.
TEST_F(Config, NullArgumentsAndWhatIsNotARegularFileAreRefused) {
    std::ofstream(path_) << "{}";
    EXPECT_EQ(twrelay_config_load(nullptr, path_.c_str()), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_load(&cfg_, nullptr), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_save(nullptr, path_.c_str()), TWR_ERR_IO);
    EXPECT_EQ(twrelay_config_save(&cfg_, nullptr), TWR_ERR_IO);
    twrelay_config_defaults(nullptr);
    twrelay_config_set_default_paths(nullptr);
    ASSERT_TRUE(fs::remove(path_) && mkfifo(path_.c_str(), 0600) == 0);
    alarm(10);  // a load that blocks ends the program instead of hanging it
    EXPECT_EQ(twrelay_config_load(&cfg_, path_.c_str()), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_load(&cfg_, dir_.c_str()), TWR_ERR_CONFIG);
    alarm(0);
}

// The text goes to a new file of mode 0600, whatever the umask, that is
// renamed over the path: a symbolic link there is replaced, not written
// through. Only the last level of a missing directory is created.
TEST_F(Config, SaveGoesThroughAnOwnerOnlyTemporaryFileAndARename) {
    std::ofstream(dir_ + "/target") << "old";
    ASSERT_EQ(symlink("target", path_.c_str()), 0);
    for (mode_t mask : {mode_t(0), mode_t(0277)}) {
        umask(mask);
        ASSERT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_OK);
        struct stat st {};
        EXPECT_TRUE(lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600) << mask;
    }
    EXPECT_EQ(test_support::read_file(dir_ + "/target"), "old");
    EXPECT_EQ(entries(), 2);
    EXPECT_EQ(twrelay_config_save(&cfg_, (dir_ + "/new/config.json").c_str()), TWR_OK);
    EXPECT_EQ(twrelay_config_save(&cfg_, (dir_ + "/a/b/config.json").c_str()), TWR_ERR_IO);
}

// A write that runs out of room (a file size limit below a record's size)
// and a rename that cannot happen (a directory in the file's place).
TEST_F(Config, SaveErrorsReturnIoRemoveTheTemporaryAndKeepTheTarget) {
    ASSERT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_OK);
    const std::string before = test_support::read_file(path_);
    g_log.clear();
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{64, limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);  // for the rest of the program: the write fails with EFBIG instead
    setrlimit(RLIMIT_FSIZE, &small);
    cfg_.port = 2222;
    const int rc = twrelay_config_save(&cfg_, path_.c_str());
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(rc, TWR_ERR_IO);
    EXPECT_EQ(test_support::read_file(path_), before);
    ASSERT_TRUE(fs::remove(path_) && fs::create_directory(path_));
    EXPECT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_ERR_IO);
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(entries(), 1);  // no temporary file
    EXPECT_TRUE(g_log.empty());
}

}  // namespace
