// The log: the line "HH:MM:SS [LEVEL] message", the threshold, the callback
// before the line, the 2047-byte cut, a message that fails to format, the
// log file, and a callback that logs. Standard error is captured through
// GoogleTest.
#include "relay/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>

#include "support/test_support.h"

namespace {

std::string g_got;

// Appends "level:message" to the string it was given (g_got), and "@" to
// standard error to show where among the lines the callback ran.
void record(void *got, int level, const char *message) {
    *static_cast<std::string *>(got) += std::to_string(level) + ":" + message;
    std::fputc('@', stderr);
}

// One file per process, as the rows may run side by side.
const std::string kFile = testing::TempDir() + "twr_log_test_" + std::to_string(getpid()) + ".log", k2047(2047, 'x');

// Runs log() and returns what reached standard error and then the log file
// (removed), with "T" for the local time "HH:MM:SS" that starts a line.
std::string written_by(void (*log)()) {
    auto clock = [] { char t[9]; const std::time_t now = std::time(nullptr); std::strftime(t, 9, "%T", std::localtime(&now)); return std::string(t); };
    testing::internal::CaptureStderr();
    const std::string before = clock();
    log();
    const std::string out = testing::internal::GetCapturedStderr() + test_support::read_file(kFile);
    std::remove(kFile.c_str());
    return std::regex_replace(out, std::regex("(^|\n|@)(" + before + "|" + clock() + ") "), "$1T ");
}

// Name, threshold, what to log, what record() makes of it, what is written.
using Row = std::tuple<const char *, int, void (*)(), std::string, std::string>;

class LogLine : public testing::TestWithParam<Row> {};

TEST_P(LogLine, GoesToTheCallbackThenToStandardError) {
    const auto &[name, threshold, log, delivered, written] = GetParam();
    g_got.clear();
    twr_log_init(threshold, record, &g_got);
    EXPECT_EQ(written_by(log), written);
    EXPECT_EQ(g_got, delivered);
    twr_log_init(TWR_LOG_INFO, nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogLine,
    testing::Values(
        Row{"LevelNames", TWR_LOG_DEBUG, [] { twr_log_error("e%s", "!"); twr_log_warn("%d%%", 5); twr_log_debug("d"); },
            "0:e!1:5%3:d", "@T [ERROR] e!\n@T [WARN ] 5%\n@T [DEBUG] d\n"},
        Row{"UnknownLevelIsAQuestionMark", 4, [] { twr_log(4, "x"); twr_log(-1, "y"); }, "4:x-1:y", "@T [?    ] x\n@T [?    ] y\n"},
        Row{"AboveTheThresholdIsDropped", 2, [] { twr_log_set_level(1); twr_log_info("i"); twr_log(1, "w"); }, "1:w", "@T [WARN ] w\n"},
        Row{"WrapperPrintsPercentAsItStands", TWR_LOG_INFO, [] { twr_log_info("%s", "%s%n"); }, "2:%s%n", "@T [INFO ] %s%n\n"},
        Row{"MessageIsCutTo2047Bytes", 2, [] { twr_log(2, "%sy", k2047.c_str()); twr_log_info("%syz", k2047.c_str()); },
            "2:" + k2047 + "2:" + k2047, "@T [INFO ] " + k2047 + "\n@T [INFO ] " + k2047 + "\n"},
        // The C library may leave the buffer unterminated after an encoding error.
        Row{"MessageThatFailsToFormatIsDeliveredEmpty", 2, [] { twr_log_info("a%lsb", L"\u00e9"); }, "2:", "@T [INFO ] \n"},
        // Each opening appends a marker; the file is flushed after the marker
        // and after each line (the sizes logged); null closes the file; a path
        // that cannot be opened leaves standard error alone.
        Row{"FileGetsAMarkerOnEachOpeningThenTheLines", TWR_LOG_INFO,
            [] {
                std::ofstream(kFile) << "earlier\n";
                twr_log_set_file(kFile.c_str());
                twr_log_info("%ld", long(std::ifstream(kFile, std::ios::ate).tellg()));
                twr_log_info("%ld", long(std::ifstream(kFile, std::ios::ate).tellg()));
                twr_log_set_file(kFile.c_str());
                twr_log_info("two");
                twr_log_set_file(nullptr);
                twr_log_set_file((kFile + ".d/x.log").c_str());
                twr_log_info("three");
            },
            "2:272:472:two2:three", "@T [INFO ] 27\n@T [INFO ] 47\n@T [INFO ] two\n@T [INFO ] three\n"
            "earlier\n--- Log opened ---\nT [INFO ] 27\nT [INFO ] 47\n--- Log opened ---\nT [INFO ] two\n"},
        // The nested message is dropped; the outer line is still written.
        Row{"ACallbackThatLogsAgainIsNotCalledAgain", TWR_LOG_INFO, [] {
                twr_log_init(TWR_LOG_INFO, [](void *got, int l, const char *m) { record(got, l, m), twr_log_info("nested %s", m); }, &g_got);
                twr_log_info("outer"); }, "2:outer", "@T [INFO ] outer\n"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(std::get<0>(info.param)); });

}  // namespace
