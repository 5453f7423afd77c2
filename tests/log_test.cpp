// The log: filtering, the callback, the line on standard error and the log
// file. Standard error is captured by pointing descriptor 2 at a temporary
// file for the length of a check.
#include "relay/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

off_t size_of_fd(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

off_t size_of_path(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Descriptor 2 goes to a temporary file until text() restores it.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    off_t bytes_written() const { return size_of_fd(fileno(file_)); }

    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, got);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    FILE *file_;
    int saved_ = -1;
};

struct Delivery {
    void *ctx;
    int level;
    std::string message;
    off_t stderr_bytes;  // what had reached standard error when the callback ran
    off_t file_bytes;    // and the log file
};

struct Recorder {
    std::vector<Delivery> calls;
    const StderrCapture *capture = nullptr;
    std::string file_path;
};

void record(void *ctx, int level, const char *message) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->calls.push_back({ctx, level, message, rec->capture ? rec->capture->bytes_written() : -1,
                          rec->file_path.empty() ? -1 : size_of_path(rec->file_path)});
}

std::string clock_text(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

// "HH:MM:SS [NAME ] message": the name padded to five inside the brackets.
const std::regex kLine(R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] \[(ERROR|WARN |INFO |DEBUG|\?    )\] (.*))");

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        twr_log_set_file(nullptr);
        twr_log_init(TWR_LOG_INFO, record, &rec_);
        dir_ = ::testing::TempDir() + "twr_log_test_" + std::to_string(getpid());
        mkdir(dir_.c_str(), 0700);
        path_ = dir_ + "/relay.log";
        std::remove(path_.c_str());
    }
    void TearDown() override {
        twr_log_set_file(nullptr);
        twr_log_init(TWR_LOG_INFO, nullptr, nullptr);
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    Recorder rec_;
    std::string dir_;
    std::string path_;
};

TEST_F(LogTest, LineIsLocalTimeThenPaddedLevelNameThenMessage) {
    struct Row {
        int level;
        const char *line_tail;
    };
    const Row rows[] = {
        {TWR_LOG_ERROR, "[ERROR] disk full"}, {TWR_LOG_WARN, "[WARN ] disk full"},
        {TWR_LOG_INFO, "[INFO ] disk full"},  {TWR_LOG_DEBUG, "[DEBUG] disk full"},
        {4, "[?    ] disk full"},             {7, "[?    ] disk full"},
        {-1, "[?    ] disk full"},
    };
    twr_log_init(7, record, &rec_);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.level);
        StderrCapture capture;
        const std::time_t before = std::time(nullptr);
        twr_log(row.level, "disk %s", "full");
        const std::time_t after = std::time(nullptr);
        const std::string out = capture.text();

        std::smatch parts;
        ASSERT_TRUE(std::regex_match(out, parts, std::regex("(.*)\n"))) << out;
        const std::string line = parts[1];
        EXPECT_TRUE(std::regex_match(line, kLine)) << line;
        EXPECT_EQ(line.substr(9), row.line_tail);
        const std::string clock = line.substr(0, 8);
        EXPECT_TRUE(clock == clock_text(before) || clock == clock_text(after)) << clock;
    }
}

TEST_F(LogTest, CallbackGetsTheBareMessageBeforeAnyLineIsWritten) {
    twr_log_set_file(path_.c_str());
    StderrCapture capture;
    rec_.capture = &capture;
    rec_.file_path = path_;
    twr_log_warn("channel %d of %s", 42, "guild");
    const std::string out = capture.text();

    ASSERT_EQ(rec_.calls.size(), 1u);
    EXPECT_EQ(rec_.calls[0].ctx, &rec_);
    EXPECT_EQ(rec_.calls[0].level, TWR_LOG_WARN);
    EXPECT_EQ(rec_.calls[0].message, "channel 42 of guild");
    EXPECT_EQ(rec_.calls[0].stderr_bytes, 0);
    EXPECT_EQ(rec_.calls[0].file_bytes, off_t(sizeof "--- Log opened ---\n" - 1));
    EXPECT_EQ(out.substr(8), " [WARN ] channel 42 of guild\n");
}

// The threshold drops a message before anything happens: no callback, no
// line, no file output.
TEST_F(LogTest, MessagesAboveTheThresholdAreDroppedEntirely) {
    struct Row {
        int threshold;
        int level;
        bool wrapper;  // through twr_log_<level> rather than twr_log
        bool delivered;
    };
    const Row rows[] = {
        {TWR_LOG_INFO, TWR_LOG_DEBUG, true, false}, {TWR_LOG_INFO, TWR_LOG_INFO, true, true},
        {TWR_LOG_DEBUG, TWR_LOG_DEBUG, true, true}, {TWR_LOG_ERROR, TWR_LOG_WARN, true, false},
        {TWR_LOG_ERROR, TWR_LOG_INFO, true, false}, {TWR_LOG_ERROR, TWR_LOG_ERROR, true, true},
        {TWR_LOG_ERROR, TWR_LOG_WARN, false, false}, {TWR_LOG_DEBUG, 7, false, false},
        {7, 7, false, true},                        {TWR_LOG_ERROR, -1, false, true},
        {-1, TWR_LOG_ERROR, false, false},          {-1, TWR_LOG_ERROR, true, false},
    };
    twr_log_set_file(path_.c_str());
    const off_t file_start = size_of_path(path_);
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.threshold << " " << row.level << " " << row.wrapper);
        rec_.calls.clear();
        twr_log_set_level(row.threshold);
        const off_t file_before = size_of_path(path_);
        StderrCapture capture;
        if (!row.wrapper) {
            twr_log(row.level, "note %d", row.level);
        } else if (row.level == TWR_LOG_ERROR) {
            twr_log_error("note %d", row.level);
        } else if (row.level == TWR_LOG_WARN) {
            twr_log_warn("note %d", row.level);
        } else if (row.level == TWR_LOG_INFO) {
            twr_log_info("note %d", row.level);
        } else {
            twr_log_debug("note %d", row.level);
        }
        const std::string out = capture.text();
        EXPECT_EQ(rec_.calls.size(), row.delivered ? 1u : 0u);
        EXPECT_EQ(out.empty(), !row.delivered) << out;
        EXPECT_EQ(size_of_path(path_) > file_before, row.delivered);
    }
    EXPECT_GT(size_of_path(path_), file_start);
}

// Fresh process: the threshold before any set-up is TWR_LOG_INFO.
int log_before_any_setup() {
    StderrCapture capture;
    twr_log_debug("hidden");
    twr_log(TWR_LOG_DEBUG, "hidden");
    twr_log_info("shown");
    const std::string out = capture.text();
    return out.size() == 23 && out.substr(8) == " [INFO ] shown\n" ? 0 : 1;
}

TEST(LogDeathTest, WithoutSetUpInformationIsWrittenAndDebugDropped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(log_before_any_setup()), ::testing::ExitedWithCode(0), "");
}

TEST_F(LogTest, MessageOver2047BytesIsCutInTheCallbackAndTheLine) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += char('a' + i % 26);
    for (const size_t length : {size_t{2047}, size_t{2048}, size_t{3000}}) {
        for (const bool wrapper : {false, true}) {
            SCOPED_TRACE(::testing::Message() << length << (wrapper ? " wrapper" : " direct"));
            rec_.calls.clear();
            const std::string message = text.substr(0, length);
            StderrCapture capture;
            if (wrapper) {
                twr_log_info("%s", message.c_str());
            } else {
                twr_log(TWR_LOG_INFO, "%s", message.c_str());
            }
            const std::string out = capture.text();
            ASSERT_EQ(rec_.calls.size(), 1u);
            EXPECT_EQ(rec_.calls[0].message, text.substr(0, 2047));
            EXPECT_EQ(out.substr(8), " [INFO ] " + text.substr(0, 2047) + "\n");
        }
    }
}

TEST_F(LogTest, WrappersNeverReadPercentSequencesInTheirFormattedText) {
    // Read as a format, "%n" would store through a missing argument.
    const char *hostile = "100%s %d %n%% done";
    twr_log_set_level(TWR_LOG_DEBUG);
    StderrCapture capture;
    twr_log_error("%s", hostile);
    twr_log_warn("%s", hostile);
    twr_log_info("%s", hostile);
    twr_log_debug("%s", hostile);
    twr_log_info("rate %d%%", 5);
    const std::vector<std::string> lines = lines_of(capture.text());

    ASSERT_EQ(rec_.calls.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rec_.calls[size_t(i)].message, hostile);
    EXPECT_EQ(rec_.calls[4].message, "rate 5%");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].substr(8), " [ERROR] 100%s %d %n%% done");
    EXPECT_EQ(lines[3].substr(8), " [DEBUG] 100%s %d %n%% done");
    EXPECT_EQ(lines[4].substr(8), " [INFO ] rate 5%");
}

// The C library may leave the buffer unterminated after an encoding error.
TEST_F(LogTest, MessageThatFailsToFormatIsDeliveredEmpty) {
    StderrCapture capture;
    twr_log_info("before %ls after", L"\u00e9");  // no multibyte form in the "C" locale
    twr_log(TWR_LOG_WARN, "before %ls after", L"\u00e9");
    const std::vector<std::string> lines = lines_of(capture.text());
    ASSERT_EQ(rec_.calls.size(), 2u);
    EXPECT_EQ(rec_.calls[0].message, "");
    EXPECT_EQ(rec_.calls[1].message, "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(8), " [INFO ] ");
}

TEST_F(LogTest, EachOpeningAppendsItsMarkerAndNullClosesTheFile) {
    {
        std::ofstream earlier(path_);
        earlier << "earlier\n";
    }
    StderrCapture capture;
    twr_log_set_file(path_.c_str());
    twr_log_info("one");
    twr_log_set_file(path_.c_str());
    twr_log_warn("two");
    twr_log_set_file(nullptr);
    twr_log_info("three");
    const std::vector<std::string> on_stderr = lines_of(capture.text());

    const std::vector<std::string> in_file = lines_of(read_file(path_));
    ASSERT_EQ(in_file.size(), 5u);
    EXPECT_EQ(in_file[0], "earlier");
    EXPECT_EQ(in_file[1], "--- Log opened ---");
    EXPECT_TRUE(std::regex_match(in_file[2], kLine)) << in_file[2];
    EXPECT_EQ(in_file[2].substr(8), " [INFO ] one");
    EXPECT_EQ(in_file[3], "--- Log opened ---");
    EXPECT_EQ(in_file[4].substr(8), " [WARN ] two");
    // Standard error gets every line, and no marker.
    ASSERT_EQ(on_stderr.size(), 3u);
    EXPECT_EQ(on_stderr[0], in_file[2]);
    EXPECT_EQ(on_stderr[2].substr(8), " [INFO ] three");
}

TEST_F(LogTest, UnopenablePathLeavesNoFileAndStandardErrorWorking) {
    const std::string missing_dir = dir_ + "/no_such_dir/relay.log";
    twr_log_set_file(path_.c_str());
    StderrCapture capture;
    twr_log_set_file(missing_dir.c_str());
    twr_log_info("still here");
    const std::string out = capture.text();

    EXPECT_EQ(out.substr(8), " [INFO ] still here\n");
    ASSERT_EQ(rec_.calls.size(), 1u);
    EXPECT_EQ(size_of_path(missing_dir), -1);
    // The previous file was closed before the failed opening.
    EXPECT_EQ(read_file(path_), "--- Log opened ---\n");
}

TEST_F(LogTest, InitReplacesCallbackAndContextButKeepsTheFile) {
    twr_log_set_file(path_.c_str());
    Recorder other;
    twr_log_init(TWR_LOG_WARN, record, &other);
    StderrCapture capture;
    twr_log_warn("to other");
    twr_log_info("below");
    twr_log_init(TWR_LOG_INFO, nullptr, nullptr);
    twr_log_info("no callback");
    const std::vector<std::string> on_stderr = lines_of(capture.text());

    EXPECT_TRUE(rec_.calls.empty());
    ASSERT_EQ(other.calls.size(), 1u);
    EXPECT_EQ(other.calls[0].ctx, &other);
    ASSERT_EQ(on_stderr.size(), 2u);
    const std::vector<std::string> in_file = lines_of(read_file(path_));
    ASSERT_EQ(in_file.size(), 3u);
    EXPECT_EQ(in_file[1].substr(8), " [WARN ] to other");
    EXPECT_EQ(in_file[2].substr(8), " [INFO ] no callback");
}

}  // namespace
