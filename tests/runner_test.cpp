// The self-check's own reporting: the exact transcript of a fixture built
// with deliberately failing cases, and the shape of the real battery's.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// Runs a program with standard error discarded, so that only the
// standard-output transcript is captured.
test_support::CommandRun run_program(const std::string &path) { return test_support::run_command(path + " 2>/dev/null"); }

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::string kFixtureSource = std::string(TWRELAY_SOURCE_DIR) + "/tests/selfcheck_fixture/fixture_suites.cpp";

// The line number of the one source line that contains `needle`.
int line_of(const std::string &needle) {
    std::ifstream in(kFixtureSource);
    int number = 0, found = -1;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.find(needle) != std::string::npos) {
            if (found != -1) ADD_FAILURE() << "text occurs twice: " << needle;
            found = number;
        }
    }
    if (found == -1) ADD_FAILURE() << "text not found: " << needle;
    return found;
}

std::string fail_prefix(const std::string &check_text) {
    return "FAIL " + kFixtureSource + ":" + std::to_string(line_of(check_text)) + ": ";
}

const std::string kBanner = "Tarnwick Relay \xE2\x80\x94 Unit Tests";
const std::string kRule(28, '=');

TEST(SelfcheckRunner, FixtureTranscriptIsExact) {
    const test_support::CommandRun run = run_program(SELFCHECK_FIXTURE);
    const std::vector<std::string> expected = {
        kBanner,
        kRule,
        "",
        "=== Fixture ===",
        "  test_passes... OK",
        "  test_eq_prints_all_ones_as_minus_one..." + fail_prefix("ASSERT_EQ(small, 0xFFFFFFFFFFFFFFFFULL)") +
            "small != 0xFFFFFFFFFFFFFFFFULL (got 1 vs -1)",
        "  test_eq_prints_narrow_unsigned_as_positive..." + fail_prefix("ASSERT_EQ(byte, 0xAC)") +
            "byte != 0xAC (got 171 vs 172)",
        // Compared on the first call's 1, printed from the second call's 2.
        "  test_eq_evaluates_again_to_print..." + fail_prefix("ASSERT_EQ(next_call(), 5)") +
            "next_call() != 5 (got 2 vs 5)",
        "  test_true_fails..." + fail_prefix("ASSERT_TRUE(1 == 2)") + "1 == 2",
        "  test_false_fails..." + fail_prefix("ASSERT_FALSE(2 > 1)") + "expected false: 2 > 1",
        "  test_null_fails..." + fail_prefix("ASSERT_NULL(text)") + "expected NULL: text",
        "  test_not_null_fails..." + fail_prefix("ASSERT_NOT_NULL(NULL)") + "unexpected NULL: NULL",
        "  test_str_eq_both_null..." + fail_prefix("ASSERT_STR_EQ(NULL, NULL)") + "\"(null)\" != \"(null)\"",
        "  test_str_eq_left_null..." + fail_prefix("ASSERT_STR_EQ(NULL, \"right\")") + "\"(null)\" != \"right\"",
        "  test_str_eq_evaluates_once..." + fail_prefix("ASSERT_STR_EQ(counted_text(), \"right\")") +
            "\"left\" != \"right\"",
        "  test_str_eq_count_after_failure... OK",
        "",
        kRule,
        // Every case counts, passed or failed; the word stays plural.
        "Results: 12 tests, 10 failures",
        "FAILED",
    };
    EXPECT_EQ(lines_of(run.out), expected);
    EXPECT_EQ(run.status, 1);
}

TEST(SelfcheckRunner, BatteryRunsEverySuiteInItsPlace) {
    const test_support::CommandRun run = run_program(SELFCHECK_BINARY);
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], kBanner);
    EXPECT_EQ(lines[1], kRule);

    // Seven titles from five runners, in this order, each with its cases;
    // every case line passes.
    const std::vector<std::pair<std::string, int>> expected = {
        {"TWL Protocol", 33}, {"Hashmap", 16}, {"ID Mapper", 13}, {"MacRoman", 12},
        {"Markdown", 12},     {"Emoji", 13},   {"Config", 8}};
    std::vector<std::pair<std::string, int>> seen;
    const std::regex case_line(R"(  test_[A-Za-z0-9_]+\.\.\. OK)");
    size_t i = 2;
    for (; i + 4 < lines.size(); ++i) {
        if (lines[i].empty()) {
            const std::string &title = lines[++i];
            ASSERT_TRUE(title.size() > 8 && title.rfind("=== ", 0) == 0 && title.substr(title.size() - 4) == " ===")
                << title;
            seen.emplace_back(title.substr(4, title.size() - 8), 0);
            continue;
        }
        ASSERT_FALSE(seen.empty()) << lines[i];
        EXPECT_TRUE(std::regex_match(lines[i], case_line)) << lines[i];
        ++seen.back().second;
    }
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(lines.size() - i, 4u);
    EXPECT_EQ(lines[i], "");
    EXPECT_EQ(lines[i + 1], kRule);
    EXPECT_EQ(lines[i + 2], "Results: 107 tests, 0 failures");
    EXPECT_EQ(lines[i + 3], "ALL PASSED");
}

}  // namespace
