// The configuration's file format and environment: the saved text, the
// default paths, how loaded values convert (tests/data/config_load.txt),
// which loads are refused, and how a save replaces the file. The fuzz
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
#include <sstream>
#include <string>
#include <vector>

#include "relay/log.h"

namespace fs = std::filesystem;

namespace {

const char *const kEnv[2] = {"XDG_CONFIG_HOME", "HOME"};
std::vector<std::string> g_log;

std::string read_text(const std::string &path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

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
        EXPECT_EQ(read_text(path_), read_text(TWRELAY_SOURCE_DIR "/fuzz/corpus/config/" + seed));
        EXPECT_EQ(g_log.back(), "Config saved to " + path_);
        std::strcpy(cfg_.bind_host, "a\"b\\c\td\x01\xC3\xA9/");
        cfg_.auto_start = 7;
    }
}

TEST_F(Config, DefaultPathsFollowTheEnvironment) {
    const char *const rows[][3] = {  // XDG_CONFIG_HOME, HOME (null: unset), the directory
        {"/x", "/home/u", "/x/twrelay"},  {"/x", nullptr, "/x/twrelay"},  {"", "/home/u", "/home/u/.config/twrelay"},
        {nullptr, "/home/u", "/home/u/.config/twrelay"}, {"", "", "/.config/twrelay"}, {nullptr, "", "/.config/twrelay"},
        {"", nullptr, "."},               {nullptr, nullptr, "."}};
    for (const auto &row : rows) {
        for (int i = 0; i < 2; ++i) row[i] ? setenv(kEnv[i], row[i], 1) : unsetenv(kEnv[i]);
        twrelay_config_set_default_paths(&cfg_);
        EXPECT_EQ(cfg_.config_path, std::string(row[2]) + "/config.json");
        EXPECT_EQ(cfg_.token_path, std::string(row[2]) + "/token.json");
    }
}

std::string field(const twrelay_config_t &c, const std::string &key) {
    if (key == "bind_host") return c.bind_host;
    if (key == "token_path") return c.token_path;
    if (key == "config_path") return c.config_path;
    return std::to_string(key == "port" ? c.port : key == "max_clients" ? c.max_clients : c.auto_start);
}

// What cJSON 1.7.15 gives for numbers, keys and the text around the value is
// pinned here: the file format relies on it.
TEST_F(Config, LoadedValuesConvertByTheirType) {
    const std::string port = R"({"port": 5555})";
    std::vector<std::vector<std::string>> rows = {  // field, value, file
        {"port", "5555", "\xEF\xBB\xBF \n\t\r" + port},  // a byte-order mark and white space before
        {"port", "5555", port + std::string(65536 - port.size(), ' ')}};  // the largest file
    std::ifstream data(TWRELAY_SOURCE_DIR "/tests/data/config_load.txt");
    for (std::string line, key, value, json; std::getline(data, line);) {
        std::istringstream in(line);
        if (line[0] != '#' && in >> key >> value && std::getline(in >> std::ws, json)) rows.push_back({key, value == "(empty)" ? "" : value, json});
    }
    ASSERT_GT(rows.size(), 20u);
    for (const auto &row : rows) {
        std::ofstream(path_, std::ios::binary) << row[2];
        twrelay_config_defaults(&cfg_);
        cfg_.auto_start = 1;
        std::strcpy(cfg_.config_path, "kept");
        ASSERT_EQ(twrelay_config_load(&cfg_, path_.c_str()), TWR_OK) << row[2];
        EXPECT_EQ(field(cfg_, row[0]), row[1]) << row[2];
    }
    EXPECT_EQ(g_log.back(), "Config loaded from " + path_);
}

// The keys go to a copy of the record that replaces it only on success.
TEST_F(Config, LoadChangesTheRecordOnlyOnSuccess) {
    const std::string open = R"({"port": 5555)";
    for (const std::string &bytes : {std::string(), std::string("not json {{{{"), open, open + ",}",
                                     std::string("\xEF\xBB\xBF"), std::string(1, '\0') + open + "}",
                                     open + "}" + std::string(65536 - open.size(), ' ')}) {
        std::ofstream(path_, std::ios::binary) << bytes;
        std::memset(&cfg_, 0x5A, sizeof cfg_);
        const twrelay_config_t before = cfg_;
        EXPECT_EQ(twrelay_config_load(&cfg_, path_.c_str()), TWR_ERR_CONFIG) << bytes.size() << ": " << bytes;
        EXPECT_EQ(std::memcmp(&cfg_, &before, sizeof cfg_), 0) << bytes;
    }
    EXPECT_EQ(twrelay_config_load(&cfg_, (dir_ + "/missing").c_str()), TWR_ERR_CONFIG);
    EXPECT_TRUE(g_log.empty());
}

TEST_F(Config, LoadRefusesWhatIsNotARegularFileWithoutBlocking) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    alarm(10);  // a load that blocks ends the program instead of hanging it
    EXPECT_EQ(twrelay_config_load(&cfg_, path_.c_str()), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_load(&cfg_, dir_.c_str()), TWR_ERR_CONFIG);
    alarm(0);
}

TEST_F(Config, NullArgumentsAreRefused) {
    std::ofstream(path_) << "{}";
    EXPECT_EQ(twrelay_config_load(nullptr, path_.c_str()), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_load(&cfg_, nullptr), TWR_ERR_CONFIG);
    EXPECT_EQ(twrelay_config_save(nullptr, path_.c_str()), TWR_ERR_IO);
    EXPECT_EQ(twrelay_config_save(&cfg_, nullptr), TWR_ERR_IO);
    twrelay_config_defaults(nullptr);
    twrelay_config_set_default_paths(nullptr);
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
    EXPECT_EQ(read_text(dir_ + "/target"), "old");
    EXPECT_EQ(entries(), 2);
    EXPECT_EQ(twrelay_config_save(&cfg_, (dir_ + "/new/config.json").c_str()), TWR_OK);
    EXPECT_EQ(twrelay_config_save(&cfg_, (dir_ + "/a/b/config.json").c_str()), TWR_ERR_IO);
}

// A write that runs out of room (a file size limit below a record's size)
// and a rename that cannot happen (a directory in the file's place).
TEST_F(Config, SaveErrorsReturnIoRemoveTheTemporaryAndKeepTheTarget) {
    ASSERT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_OK);
    const std::string before = read_text(path_);
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
    EXPECT_EQ(read_text(path_), before);
    ASSERT_TRUE(fs::remove(path_) && fs::create_directory(path_));
    EXPECT_EQ(twrelay_config_save(&cfg_, path_.c_str()), TWR_ERR_IO);
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(entries(), 1);  // no temporary file
    EXPECT_TRUE(g_log.empty());
}

}  // namespace
